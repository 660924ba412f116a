// The busy window: another terminal holds the lock while this one wants to close a dispensing.
// It polls the lock and, once free, takes it and runs the closing move itself.
#pragma once

#include <QDialog>
#include <chrono>
#include <functional>
#include <string>

#include "core/paths.h"
#include "outbox/closingcall.h"

class QLabel;
class QTimer;

namespace vl::ui {

class OKUP : public QDialog {
    Q_OBJECT
public:
    // `closingMove` runs once the lock is this terminal's.
    OKUP(const Paths& paths, std::string terminalDigit, std::function<void()> closingMove,
         QWidget* parent = nullptr);

    bool moved() const { return moved_; }
    // Given up: the lock can never be had, or another program held it too long (the message
    // has been shown and logged).
    bool failed() const { return failed_; }
    // How long another program may hold the lock's files: the launcher's bound (tests shorten it).
    static inline std::chrono::milliseconds inUseLimit = ClosingWaitLimit;
    void Timer2_Tick();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    Paths paths_;
    std::string digit_;
    std::function<void()> closingMove_;
    bool moved_ = false;
    bool failed_ = false;
    std::chrono::steady_clock::time_point inUseSince_{};
    void fail(const std::string& cp1252);
    QLabel* Terminal_ = nullptr;
    QTimer* Timer2_ = nullptr;
};

} // namespace vl::ui
