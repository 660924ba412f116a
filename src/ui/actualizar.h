// The update window: fetches and converts the master, survey and price files, shows what the
// transfer is doing, lets the pharmacist cancel, and closes itself when done.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <array>
#include <atomic>
#include <thread>

#include "core/config.h"
#include "core/paths.h"
#include "data/lookup.h"
#include "update/updaterun.h"

class QFrame;
class QLabel;
class QProgressBar;
class QTimer;

namespace vl::ui {

class LinkLabel;

class Actualizar : public QDialog {
    Q_OBJECT
public:
    Actualizar(const Paths& paths, Config& cfg, DataFiles& files, UpdateOptions options = {},
               QWidget* parent = nullptr);
    ~Actualizar() override;

    bool running() const { return running_; }
    UpdateEnd outcome() const { return outcome_; }
    void Label23_Click();

signals:
    void runFinished();

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void done(int r) override;

private:
    void timer1Tick();
    void stateChanged(int state);
    void finishRun(UpdateEnd end);
    bool boxOpen() const;

    Paths paths_;
    Config& cfg_;
    DataFiles& files_;
    UpdateOptions options_;
    std::atomic<bool> cancelled_{false};
    bool running_ = false;
    bool reopened_ = false;
    bool asking_ = false; // the question of Escape is open
    UpdateEnd outcome_ = UpdateEnd::Failed;
    std::thread worker_;
    int fotograma_ = 0;
    QString nombreFichero_;

    QFrame* Frame8_ = nullptr;
    QLabel* Label13_ = nullptr;
    std::array<QLabel*, 3> Label14_{};
    LinkLabel* Label23_ = nullptr;
    QLabel* Image6_ = nullptr;
    QProgressBar *pb3_ = nullptr, *indicador_ = nullptr;
    QTimer *Timer1_ = nullptr, *Timer2_ = nullptr, *Timer4_ = nullptr;
    std::array<QPixmap, 4> Image5_;
    QPixmap Image8_, Image11_;
};

} // namespace vl::ui
