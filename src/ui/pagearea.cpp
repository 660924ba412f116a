#include "ui/pagearea.h"

#include <QLabel>
#include <QStackedLayout>
#include <QTimer>

#include "infopage/navigation.h"
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
    Label7_ = named(new QLabel(this), QStringLiteral("Label7"));
    Label7_->hide();
    Timer4_ = named(new QTimer(this), QStringLiteral("Timer4"));
    Timer4_->setInterval(250);
    connect(Timer4_, &QTimer::timeout, this, &PageArea::watchHandoutPrint);
    connect(wb_, &PageView::loadStarted, this, [this] { loaded_ = false; });
    connect(wb_, &PageView::loadFinished, this, [this](bool) { loaded_ = true; });
    connect(wb_, &PageView::printDone, this, [this](bool, const QString&) {
        // The handout is printed: back to the complete page.
        if (isPrintPage(wb_->locationUrl().toStdString())) wb_->showFile(complete_);
    });
}

void PageArea::printHandout(const std::filesystem::path& handout,
                            const std::filesystem::path& complete) {
    complete_ = complete;
    wb_->showFile(handout);
    Timer4_->start();
}

void PageArea::watchHandoutPrint() {
    Label7_->setText(wb_->locationUrl());
    // Print only once the handout has finished loading.
    if (isPrintPage(Label7_->text().toStdString()) && loaded_) {
        Timer4_->stop();
        if (!wb_->printSilently()) wb_->showFile(complete_);
    }
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
