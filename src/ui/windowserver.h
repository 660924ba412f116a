// The window process started ahead ("velantia PRECARGAR"): it loads the browser engine once,
// waits hidden, and shows each dispensing its launcher hands it, as a fresh start would.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/handoff.h"
#include "core/paths.h"

class QLocalServer;
class QLocalSocket;

namespace vl::ui {

class Velantia;

class WindowServer : public QObject {
    Q_OBJECT
  public:
    explicit WindowServer(const Paths& paths, QObject* parent = nullptr);
    ~WindowServer() override;

    // Listens, then loads the engine with the empty page; ready(), failed(), or notNeeded() when
    // another window process has the place. Until ready() it answers that it is preparing.
    void start();
    bool serving() const { return window_ != nullptr; }
    // The system asks it to end (logout, shutdown): a dispensing open is closed as Escape would
    // close it, then the process ends.
    void endOnRequest();

  signals:
    void ready();
    void failed(const QString& why);
    void notNeeded();
    // A call has ended; the process is idle again.
    void served(int exitCode);

  private:
    struct Peer {
        bool greeted = false;
        bool sameVersion = false;
        handoff::RequestReader reader;
        bool reading = false;
        bool accepted = false;
        handoff::Request request;
    };

    void prepareNext();
    Velantia* buildWindow();
    bool listen();
    void becomeReady();
    // Loads a blank page into `page`, kept as the spare; `used`: a closed window's page.
    void blankSpare(QObject* page, bool used);
    // Begins the call that waits for the window built ahead, if one does.
    void beginWaiting();
    void accept();
    void onLine(QLocalSocket* s, const std::string& line);
    void onRequest(QLocalSocket* s, Peer& p);
    void begin(QLocalSocket* s, const handoff::Request& r);
    void end(int exitCode);
    void closeAbandonedWindow();
    void send(QLocalSocket* s, const std::string& line);
    void quitWhenIdle(const char* why);
    bool ownFileChanged() const;
    void applyEnvironment(const std::vector<std::pair<std::string, std::string>>& vars);

    Paths paths_;
    std::string identity_;
    std::string address_;
    std::filesystem::path lock_; // held from start() on, when not empty
    QLocalServer* server_ = nullptr;
    QPointer<QObject> spare_; // loaded ahead for the next dispensing's page
    bool spareLoaded_ = false;
    std::map<QLocalSocket*, Peer> peers_;
    QPointer<QLocalSocket> client_;  // the launcher of the call being served
    QPointer<QLocalSocket> awaited_; // accepted, its ADELANTE not yet come
    QLocalSocket* starting_ = nullptr; // its ADELANTE come, waiting for the window built ahead
    handoff::Request startingRequest_;
    Velantia* window_ = nullptr;
    Velantia* next_ = nullptr; // built ahead on the spare page, hidden, never started
    std::vector<std::pair<std::string, std::string>> ownEnvironment_;
    QString ownDirectory_;
    QTimer heartbeat_, idle_, fileWatch_, goWait_, spareWait_;
    bool quitting_ = false;
    bool ready_ = false;
};

} // namespace vl::ui
