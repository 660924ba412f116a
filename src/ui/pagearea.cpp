#include "ui/pagearea.h"

#include <QStackedLayout>

#include "ui/pageview.h"
#include "ui/widgets.h"

namespace vl::ui {

PageArea::PageArea(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("paginas"));
    setMinimumHeight(MinimumHeight);
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    wb_ = named(new PageView(this), QStringLiteral("Wb"),
                QString::fromUtf8("Información del medicamento"));
    stack_->addWidget(wb_);
}

bool PageArea::printHandout(const std::string& handout, const std::filesystem::path& folder) {
    return wb_->printPage(handout, folder);
}

void PageArea::showSendingPage(const std::filesystem::path& file) {
    if (!wb3_) {
        wb3_ = named(new PageView(this), QStringLiteral("WB3"),
                     QString::fromUtf8("Resultado del envío"));
        stack_->addWidget(wb3_);
    }
    wb3_->showFile(file);
    stack_->setCurrentWidget(wb3_);
}

void PageArea::hideSendingPage() {
    if (wb3_) stack_->setCurrentWidget(wb_);
}

} // namespace vl::ui
