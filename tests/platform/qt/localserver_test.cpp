// The launcher's channel against Qt's own server, listening as the window process does.
#include "platform/localchannel.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <thread>

namespace {

using namespace std::chrono_literals;
using vl::LocalChannel;

TEST(LocalChannelWithQt, ReachesAQLocalServerAtTheSameAddress) {
    vltest::TempDir t;
    const std::string address = vl::windowServerAddress(t.path());
    int argc = 1;
    char name[] = "prueba";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QLocalServer server;
    ASSERT_TRUE(server.listen(QString::fromStdString(address)))
        << server.errorString().toStdString();
#ifdef _WIN32
    // A pipe's name, which the launcher's channel prefixes the same way.
    EXPECT_EQ(server.fullServerName().toStdString(), "\\\\.\\pipe\\" + address);
#else
    EXPECT_EQ(server.fullServerName().toStdString(), address);
#endif
    // Every line is answered "eco <line>" in CR LF; "fin" also ends the connection.
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        QLocalSocket* s = server.nextPendingConnection();
        QObject::connect(s, &QLocalSocket::readyRead, s, [s] {
            while (s->canReadLine()) {
                const QByteArray line = s->readLine().trimmed();
                s->write("eco " + line + "\r\n");
                if (line == "fin") s->disconnectFromServer();
            }
        });
    });

    std::vector<std::string> got;
    std::thread client([&] {
        if (auto c = LocalChannel::connect(address, 2s)) {
            c->send("uno\ndos\r\nfi");
            c->send("n\n");
            std::string line;
            LocalChannel::Read r;
            while ((r = c->readLine(line, 10s)) == LocalChannel::Read::Line)
                got.push_back(line);
            got.push_back(r == LocalChannel::Read::Closed ? "<cerrado>" : "<sin respuesta>");
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    client.join();
    EXPECT_EQ(got, (std::vector<std::string>{"eco uno", "eco dos", "eco fin", "<cerrado>"}));

    server.close();
    EXPECT_FALSE(LocalChannel::connect(address, 100ms));
}

} // namespace
