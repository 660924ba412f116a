// The sending panel: the upload of the outbox with its progress (Frame4), and the pharmacist's
// confirmation when the service's answer carried no verdict (Frame5).
#pragma once

#include <QWidget>

#include "core/config.h"
#include "core/paths.h"
#include "send/send.h"

class QCheckBox;
class QFrame;
class QProgressBar;
class QTimer;

namespace vl::ui {

class PageArea;

class SendPanel : public QWidget {
    Q_OBJECT
  public:
    SendPanel(const Paths& paths, const Config& cfg, PageArea* pages, QWidget* parent = nullptr);

    bool sending() const { return sending_; }
    // "Enviar": checks, takes the lock with "0" and uploads on a thread of its own.
    void start();
    // Moving to another page puts the page browser back in view.
    void hideConfirmation();

  signals:
    // A send has reached its verdict (or failed); the result page is loading.
    void sendFinished();
    // Frame4 or Frame5 appeared or went: the window gives the page the room that is left.
    void heightChanged();

  private:
    void showBrowserProgress(int progress, int progressMax);
    void uploadFinished(const SendResult& r);
    void showVerdict(SendVerdict verdict, const std::string& answerText);
    void continueByHand();
    void watchForAnswer();
    void confirmSent();
    void reportNotSent();
    void setPanels(bool progress, bool confirmation);

    Paths paths_;
    const Config& cfg_;
    PageArea* pages_;
    bool sending_ = false;
    std::optional<std::string> lastSent_; // what the last upload sent; nullopt: a send by hand
    std::string lastStamp_;               // the send stamp as it stood then
    QFrame *Frame4_ = nullptr, *Frame5_ = nullptr;
    QProgressBar* PBW_ = nullptr;
    QCheckBox *Check2_ = nullptr, *Check3_ = nullptr;
    QTimer* Timer2_ = nullptr;
};

} // namespace vl::ui
