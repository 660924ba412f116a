#include "ui/logviewer.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

#include "core/runlog.h"
#include "core/text.h"

namespace vl::ui {

LogViewer::LogViewer(const Paths& paths, const std::filesystem::path& current, QWidget* parent)
    : QDialog(parent), logs_(runlog::logFiles(paths)) {
    setObjectName(QStringLiteral("LogViewer"));
    setWindowTitle(QStringLiteral("Velantia:  Registro"));
    const auto same = [&](const std::filesystem::path& p) {
        return lowerCp1252(p.filename().string()) == lowerCp1252(current.filename().string());
    };
    auto at = std::find_if(logs_.begin(), logs_.end(), same);
    if (at == logs_.end() && !current.empty()) at = logs_.insert(logs_.end(), current);

    choice_ = new QComboBox(this);
    choice_->setObjectName(QStringLiteral("Registros"));
    for (const auto& p : logs_)
        choice_->addItem(QString::fromStdString(fromCp1252(p.filename().string())));
    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("Registro"));
    text_->setReadOnly(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setPlaceholderText(QStringLiteral("El registro está vacío."));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(choice_);
    layout->addWidget(text_, 1);
    layout->addWidget(buttons);
    resize(820, 520);

    if (at != logs_.end()) choice_->setCurrentIndex(static_cast<int>(at - logs_.begin()));
    showLog(choice_->currentIndex());
    connect(choice_, &QComboBox::currentIndexChanged, this, &LogViewer::showLog);
}

void LogViewer::showLog(int index) {
    const std::string bytes =
        index >= 0 && index < static_cast<int>(logs_.size()) ? runlog::readLog(logs_[index]) : "";
    text_->setPlainText(QString::fromStdString(fromCp1252(bytes))
                            .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    text_->moveCursor(QTextCursor::End);
    text_->verticalScrollBar()->setValue(text_->verticalScrollBar()->maximum());
}

} // namespace vl::ui
