#include "platform/windowing/SingleInstance.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

#include "platform/windowing/Application.h"
#include "platform/windowing/Form.h"
#include "platform/windowing/TrayHostWatch.h"
#include "platform/windowing/Windows.h"

namespace win {
namespace {

constexpr int kAnswerMs = 1000;
const QByteArray kRequest = "show\n";
const QByteArray kShown = "shown\n";
const QByteArray kWithoutWindow = "no window\n";

// Abstract names have no permissions: the peer's user is asked of the kernel instead.
bool SameUser(const QLocalSocket& socket) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                      &size) == 0 &&
         peer.uid == ::geteuid();
}

}  // namespace

void ShowMainFormNow() {
  TApplication* app = TApplication::Instance();
  TForm* form = app ? app->MainForm() : nullptr;
  if (!form || app->Terminated()) return;
  ShowWindow(app->Handle(), SW_RESTORE);
  ShowWindow(form->Handle(), SW_SHOWNORMAL);
  SetForegroundWindow(form->Handle());
}

TSingleInstance::TSingleInstance(const std::string& name, Request request)
    : name_(name + "-" + std::to_string(::geteuid())), request_(std::move(request)) {
  if (AskRunning()) {
    handedOver_ = true;
    return;
  }
  if (request_.askOnly) return;
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::AbstractNamespaceOption);
  QObject::connect(server_.get(), &QLocalServer::newConnection, [this] { Serve(); });
  // Two started at once: the one that lost the name asks the winner instead.
  if (!server_->listen(QString::fromStdString(name_))) {
    server_.reset();
    handedOver_ = AskRunning();
  }
}

TSingleInstance::~TSingleInstance() = default;

bool TSingleInstance::AskRunning() {
  QLocalSocket socket;
  socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
  socket.connectToServer(QString::fromStdString(name_));
  if (!socket.waitForConnected(kAnswerMs) || !SameUser(socket)) return false;
  socket.write(QByteArray::fromStdString(request_.line));
  if (!socket.waitForBytesWritten(kAnswerMs)) return false;
  QByteArray answer;
  while (!answer.endsWith('\n') && socket.waitForReadyRead(kAnswerMs))
    answer += socket.readAll();
  if (request_.line != kRequest.toStdString()) {
    answer_ = answer.toStdString();
    return answer.endsWith('\n');
  }
  withoutWindow_ = answer == kWithoutWindow;
  return answer == kShown || withoutWindow_;
}

void TSingleInstance::Serve() {
  while (QLocalSocket* client = server_->nextPendingConnection()) {
    QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    if (!SameUser(*client)) {
      client->disconnectFromServer();
      continue;
    }
    QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
      if (!client->canReadLine()) return;
      const QByteArray line = client->readLine();
      if (line != kRequest) {
        const std::string answer = OnRequest ? OnRequest(line.chopped(1).toStdString()) : "";
        if (!answer.empty()) client->write(QByteArray::fromStdString(answer + "\n"));
      } else {
        // Where Qt draws nowhere, a shown window would be seen by no one.
        if (detail::PlatformShowsNothing()) {
          client->write(kWithoutWindow);
        } else {
          ShowMainFormNow();
          client->write(kShown);
        }
      }
      client->disconnectFromServer();
    });
  }
}

}  // namespace win
