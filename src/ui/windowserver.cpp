#include "ui/windowserver.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QUrl>
#include <utility>

#include "core/cmdline.h"
#include "core/runlog.h"
#include "core/text.h"
#include "platform/localchannel.h"
#include "platform/process.h"
#include "ui/app.h"
#include "ui/assets.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"

namespace vl::ui {

namespace {

// Marks the pages made here for the windows built ahead, with the windows each has served.
constexpr const char* SparePage = "velantia-spare";
// A renderer kept for ever grows a little with each page: after this many windows it goes,
// and the next window's page starts a fresh one.
constexpr int ServedPerPage = 10;

// A working day with no dispensing: the process ends and the next call starts afresh.
constexpr int DefaultIdleSeconds = 10 * 3600;

// The information page of `w` when it is one made here (and so outlives its view once taken);
// one the view made itself goes with the view.
QObject* pageMadeHere(const Velantia& w) {
    QObject* page = w.browser() ? w.browser()->keptPage() : nullptr;
    return page && page->property(SparePage).isValid() ? page : nullptr;
}

std::filesystem::path ownFile() {
    return std::filesystem::path(QCoreApplication::applicationFilePath().toStdU16String());
}

} // namespace

WindowServer::WindowServer(const Paths& paths, QObject* parent)
    : QObject(parent), paths_(paths), identity_(handoff::programIdentity(ownFile())),
      ownEnvironment_(environmentWithPrefix("VELANTIA_")), ownDirectory_(QDir::currentPath()) {
    heartbeat_.setInterval(static_cast<int>(handoff::Heartbeat.count()));
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        if (client_) send(client_, "VIVO");
    });
    bool ok = false;
    const int idle = qEnvironmentVariableIntValue("VELANTIA_PRECARGA_INACTIVIDAD", &ok);
    idle_.setSingleShot(true);
    idle_.setInterval((ok && idle > 0 ? idle : DefaultIdleSeconds) * 1000);
    connect(&idle_, &QTimer::timeout, this, [this] { quitWhenIdle("sin dispensaciones"); });
    // An update of the program replaces its files: this process is then the old version.
    fileWatch_.setInterval(2000);
    connect(&fileWatch_, &QTimer::timeout, this, [this] {
        if (ownFileChanged()) quitWhenIdle("los ficheros del programa han cambiado");
    });
    // A spare that does not go blank in time: the call goes on with a page of its own.
    spareWait_.setSingleShot(true);
    spareWait_.setInterval(500);
    connect(&spareWait_, &QTimer::timeout, this, &WindowServer::beginWaiting);
    goWait_.setSingleShot(true);
    goWait_.setInterval(static_cast<int>(handoff::AnswerWithin.count()));
    connect(&goWait_, &QTimer::timeout, this, [this] {
        // The launcher gave up and started afresh: the call is not ours.
        if (awaited_) awaited_->abort();
        awaited_ = nullptr;
        if (quitting_ && !window_) QCoreApplication::exit(0);
    });
}

WindowServer::~WindowServer() {
    handoff::tellLauncherOnHardExit(-1);
    delete next_;
    // The address is let go before the lock: the next process may then take both.
    delete server_;
    if (!lock_.empty()) releaseLockFile(lock_);
}

void WindowServer::start() {
    // One window process per address: a second one started meanwhile (two starts at login)
    // would take over the address while the first still serves, and close it when it ends.
    const WindowServerPlace place = windowServerPlace(paths_.root());
    if (!place.problem.empty()) {
        QTimer::singleShot(
            0, this, [this, why = QString::fromStdString(place.problem)] { emit failed(why); });
        return;
    }
    if (!holdLockFile(place.lock)) {
        QTimer::singleShot(0, this, [this] { emit notNeeded(); });
        return;
    }
    address_ = place.address;
    lock_ = place.lock;
    // Listening from the start: a start ahead that waits for this process hears it while the
    // engine loads, and one that hangs meanwhile does not answer.
    if (listen()) prepareNext();
}

void WindowServer::endOnRequest() {
    quitWhenIdle("el sistema ha pedido que termine");
    closeAbandonedWindow();
}

void WindowServer::prepareNext() {
    if (next_ || quitting_) return;
    if (!spare_) {
        // A local page, as the information pages are: the next one then loads in this renderer.
        if (QObject* page = PageView::makeSparePage(this)) {
            page->setProperty(SparePage, 0);
            blankSpare(page, false);
            return;
        }
        // A view with no renderer to start has nothing to wait for.
        spareLoaded_ = true;
        if (!ready_)
            QTimer::singleShot(0, this, [this] {
                if (!ready_) becomeReady();
            });
    }
    // While a dispensing runs, its page has the engine to itself; the next window follows it.
    if (spareLoaded_ && !window_) next_ = buildWindow();
    if (next_) beginWaiting();
}

void WindowServer::beginWaiting() {
    spareWait_.stop();
    if (QLocalSocket* s = std::exchange(starting_, nullptr)) begin(s, startingRequest_);
}

void WindowServer::blankSpare(QObject* page, bool used) {
    spare_ = page;
    spareLoaded_ = false;
    PageView::blankPage(page, this, [this, page, used](bool ok) {
        if (page != spare_) return;
        if (used && !ok) {
            // A page that cannot even go blank is of no further use.
            spare_ = nullptr;
            page->deleteLater();
            prepareNext();
            return;
        }
        spareLoaded_ = true;
        prepareNext();
        // The first call finds its window built ahead, as every later one does.
        if (!ready_) becomeReady();
    });
}

Velantia* WindowServer::buildWindow() {
    // The information page's browser takes the page kept ready; the rest make their own.
    // One still loading would report its own load as the dispensing's first page: a call that
    // comes right after the last one gets a page of its own.
    PageView::setSparePages([this]() -> QObject* {
        if (!spareLoaded_ || !spare_) return nullptr;
        spare_->disconnect(this);
        return std::exchange(spare_, nullptr);
    });
    Velantia* w = Velantia::buildAhead(paths_);
    PageView::setSparePages(nullptr);
    w->setAttribute(Qt::WA_DeleteOnClose, false);
    return w;
}

bool WindowServer::listen() {
    const QString address = QString::fromStdString(address_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(address)) {
        // Another window process may be starting or stopping: one that answers keeps the place.
        if (handoff::ping(address.toStdString(), identity_)) {
            QTimer::singleShot(0, this, [this] { emit notNeeded(); });
            return false;
        }
        QLocalServer::removeServer(address);
        if (!server_->listen(address)) {
            QTimer::singleShot(0, this, [this, why = server_->errorString()] {
                emit failed("otro programa tiene el nombre " + QString::fromStdString(address_) +
                            " (" + why + ")");
            });
            return false;
        }
    }
    connect(server_, &QLocalServer::newConnection, this, &WindowServer::accept);
    return true;
}

void WindowServer::becomeReady() {
    ready_ = true;
    fileWatch_.start();
    idle_.start();
    runlog::log("Ventana preparada: lista para atender dispensaciones");
    emit ready();
}

void WindowServer::accept() {
    while (QLocalSocket* s = server_->nextPendingConnection()) {
        peers_[s];
        connect(s, &QLocalSocket::readyRead, this, [this, s] {
            while (s->canReadLine()) {
                QByteArray line = s->readLine();
                while (line.endsWith('\n') || line.endsWith('\r'))
                    line.chop(1);
                onLine(s, line.toStdString());
                if (!peers_.count(s)) return;
            }
        });
        connect(s, &QLocalSocket::disconnected, this, [this, s] {
            peers_.erase(s);
            if (s == starting_) {
                starting_ = nullptr;
                spareWait_.stop();
            }
            if (s == client_ && window_) {
                runlog::log("Ventana preparada: el programa que abrió esta dispensación ya no "
                            "espera; se cierra la ventana");
                closeAbandonedWindow();
            }
            s->deleteLater();
        });
    }
}

void WindowServer::onLine(QLocalSocket* s, const std::string& line) {
    Peer& p = peers_[s];
    if (!p.greeted) {
        p.greeted = true;
        const std::string expected = "VELANTIA " + std::to_string(handoff::Protocol) + " ";
        if (!line.starts_with(expected)) {
            s->abort();
            return;
        }
        p.sameVersion = line.substr(expected.size()) == identity_ && !ownFileChanged();
        return;
    }
    if (p.reading) {
        switch (p.reader.feed(line)) {
        case handoff::RequestReader::State::More:
            return;
        case handoff::RequestReader::State::Bad:
            s->abort();
            return;
        case handoff::RequestReader::State::Done:
            p.reading = false;
            onRequest(s, p);
            return;
        }
    }
    if (line == "PING") {
        send(s, !p.sameVersion ? "OTRA_VERSION"
                : ready_       ? "LISTO " + std::to_string(currentProcessId())
                               : "PREPARANDO " + std::to_string(currentProcessId()));
    } else if (line == "SALIR") {
        // Only another version may send it away: a start ahead of ours that could not reach it
        // in time must not leave the place empty.
        if (!p.sameVersion) quitWhenIdle("la ha sustituido otra versión del programa");
    } else if (line == "DISPENSAR") {
        p.reading = true;
        p.reader = {};
        p.reader.feed(line);
    } else if (line == "ADELANTE" && s == awaited_) {
        goWait_.stop();
        awaited_ = nullptr;
        // The last window's page is still going blank: the window built on it is a few
        // milliseconds away, a window with a page of its own a renderer's start.
        if (!next_ && spare_ && !spareLoaded_ && !quitting_) {
            starting_ = s;
            startingRequest_ = p.request;
            spareWait_.start();
            return;
        }
        begin(s, p.request);
    } else {
        s->abort();
    }
}

void WindowServer::onRequest(QLocalSocket* s, Peer& p) {
    const RunState run = parseCommandLine(toCp1252(p.reader.request().line));
    if (!p.sameVersion || quitting_) {
        send(s, "OTRA_VERSION");
        if (ownFileChanged()) quitWhenIdle("los ficheros del programa han cambiado");
        return;
    }
    // Closing calls and the three commands are the launcher's or a fresh start's.
    if (run.closingCall || !run.PendingAction.empty()) {
        send(s, "NO_ATENDIDA");
        return;
    }
    if (!ready_) {
        send(s, "PREPARANDO");
        return;
    }
    if (window_ || awaited_ || starting_) {
        send(s, "OCUPADO");
        return;
    }
    p.request = p.reader.request();
    awaited_ = s;
    goWait_.start();
    send(s, "ACEPTADO " + std::to_string(currentProcessId()));
}

void WindowServer::begin(QLocalSocket* s, const handoff::Request& r) {
    idle_.stop();
    client_ = s;
    applyEnvironment(r.environment);
    if (!r.directory.empty()) QDir::setCurrent(QString::fromStdString(r.directory));
    // A lookup that ends the process at once still tells the launcher its code.
    handoff::tellLauncherOnHardExit(s->socketDescriptor());
    setStartupMarkSink([this](const char* name, long long ns) {
        if (client_) send(client_, std::string("MARCA ") + name + " " + std::to_string(ns));
    });
    const QString line = QString::fromStdString(r.line);
    const RunState run = parseCommandLine(toCp1252(r.line));
    runlog::start(paths_, run.terminalDigit,
                  "velantia-ventanas (ventana preparada) " + line.toStdString());
    heartbeat_.start();
    // The window built ahead was never shown nor started: nothing of another dispensing is in
    // it. One whose survey file an update has changed since is built anew.
    window_ = std::exchange(next_, nullptr);
    if (window_ && !window_->surveyStillCurrent()) {
        // Its page, blank and never shown, serves the window built anew.
        if (QObject* blank = pageMadeHere(*window_); blank && !spare_) {
            blank->setParent(this);
            spare_ = blank;
            spareLoaded_ = true;
        }
        delete window_;
        window_ = nullptr;
    }
    if (!window_) window_ = buildWindow();
    connect(window_, &Velantia::ended, this, &WindowServer::end, Qt::QueuedConnection);
    // The blank page the window was built on is no page to go back to.
    if (PageView* view = window_->browser())
        connect(
            view, &PageView::loadFinished, view, [view] { view->forgetEarlierPages(); },
            Qt::SingleShotConnection);
    window_->start(line);
    if (window_->startFailed()) {
        QTimer::singleShot(0, this, [this] { end(1); });
        return;
    }
    markStartup("ventana");
    installPageAssets(paths_);
    watchFirstPage(*window_, [this](const QString& text) {
        if (client_) send(client_, "AVISO " + handoff::hex(text.toStdString()));
    });
}

void WindowServer::closeAbandonedWindow() {
    if (!window_) return;
    // A message or question still open keeps its own event loop, which would keep the window
    // alive under it and show it over the next dispensing: each is dismissed first, as its
    // Escape would. An update that runs keeps its window until it has ended.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        QTimer::singleShot(100, this, &WindowServer::closeAbandonedWindow);
        return;
    }
    window_->close();
}

void WindowServer::end(int exitCode) {
    if (!window_) return;
    exitCode = runlog::end(exitCode, false);
    heartbeat_.stop();
    handoff::tellLauncherOnHardExit(-1);
    setStartupMarkSink(nullptr);
    window_->hide();
    // The closing window's page keeps its renderer: once its view is gone it goes blank and
    // serves the next window, which then waits for no renderer to start (about 100 ms here).
    QObject* used = pageMadeHere(*window_);
    const int servedBefore = used ? used->property(SparePage).toInt() : ServedPerPage;
    if (!spare_ && servedBefore + 1 < ServedPerPage) {
        used->setProperty(SparePage, servedBefore + 1);
        used->setParent(this);
        spare_ = used;
        spareLoaded_ = false;
        connect(window_, &QObject::destroyed, this, [this, kept = QPointer(used)] {
            if (!kept) prepareNext();
            else if (spare_ == kept) blankSpare(kept, true);
        });
    }
    window_->deleteLater();
    window_ = nullptr;
    if (client_) {
        send(client_, handoff::endLine(exitCode));
        client_->disconnectFromServer();
    }
    client_ = nullptr;
    applyEnvironment(ownEnvironment_);
    QDir::setCurrent(ownDirectory_);
    runlog::open(paths_, "");
    QTimer::singleShot(0, this, &WindowServer::prepareNext);
    emit served(exitCode);
    if (quitting_) {
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        return;
    }
    idle_.start();
}

void WindowServer::send(QLocalSocket* s, const std::string& line) {
    s->write(QByteArray::fromStdString(line + "\n"));
    s->flush();
}

void WindowServer::quitWhenIdle(const char* why) {
    if (!quitting_)
        runlog::log(std::string("Ventana preparada: termina") +
                    (window_ || awaited_ || starting_ ? " al acabar la dispensación en curso ("
                                                      : " (") +
                    why +
                    ")");
    quitting_ = true;
    // No new call reaches a process on its way out; a call in progress ends first.
    if (server_) server_->close();
    if (!window_ && !awaited_ && !starting_)
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
}

bool WindowServer::ownFileChanged() const {
    return handoff::programIdentity(ownFile()) != identity_;
}

void WindowServer::applyEnvironment(const std::vector<std::pair<std::string, std::string>>& vars) {
    // Only what differs is changed: the engine's threads read the environment too, and a call
    // as the pharmacy-management program makes them, like the one before, changes nothing.
    std::map<std::string, std::string> wanted;
    for (const auto& [name, value] : vars)
        if (handoff::carried(name)) wanted[name] = value;
    for (const auto& [name, value] : environmentWithPrefix("VELANTIA_")) {
        if (!handoff::carried(name)) continue;
        const auto it = wanted.find(name);
        if (it == wanted.end())
            unsetEnvironment(name.c_str());
        else if (it->second == value)
            wanted.erase(it);
    }
    for (const auto& [name, value] : wanted)
        setEnvironment(name.c_str(), value);
}

} // namespace vl::ui
