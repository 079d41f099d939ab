#include "net/IdCommandHandlers.h"

#include <cctype>
#include <exception>

#include "net/IdPeerThread.h"
#include "net/IdTCPServer.h"
#include "rtl/ScopeExit.h"
#include "rtl/Text.h"

namespace {

// Letter case is compared as the C library's current locale sees it.
bool SameTextPrefix(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

std::vector<std::string> Pieces(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(delimiter, start);
    pieces.push_back(
        text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return pieces;
    start = end + 1;
  }
}

}  // namespace

std::vector<std::string> SplitAtDelimiter(const std::string& AText, char ADelimiter) {
  std::vector<std::string> result;
  for (std::string& piece : Pieces(AText, ADelimiter))
    if (!piece.empty()) result.push_back(std::move(piece));
  return result;
}

std::vector<std::string> SplitAndTrim(const std::string& AText, char ADelimiter) {
  std::vector<std::string> result;
  const std::string text = rtl::Trim(AText);
  if (text.empty()) return result;
  for (const std::string& piece : Pieces(text, ADelimiter))
    if (!piece.empty()) result.push_back(rtl::Trim(piece));
  return result;
}

TIdCommand::TIdCommand(TIdCommandHandler* ACommandHandler, TIdPeerThread* AThread,
                       std::string ARawLine, std::string AUnparsedParams)
    : commandHandler_(ACommandHandler),
      thread_(AThread),
      rawLine_(std::move(ARawLine)),
      unparsedParams_(std::move(AUnparsedParams)) {}

void TIdCommand::DoCommand() {
  if (commandHandler_->OnCommand) commandHandler_->OnCommand(this);
}

void TIdCommand::SendReply() {
  performReply_ = false;
  TIdTCPServerConnection* connection = thread_->Connection();
  if (TIdTCPServer* server = commandHandler_->Server()) server->FillText(reply_);
  connection->WriteReply(reply_);
}

TIdCommandHandler::TIdCommandHandler(std::int32_t AID)
    : name_("TIdCommandHandler" + std::to_string(AID)), id_(AID) {}

TIdTCPServer* TIdCommandHandler::Server() const {
  auto* handlers = dynamic_cast<TIdCommandHandlers*>(Collection());
  return handlers ? handlers->Owner() : nullptr;
}

bool TIdCommandHandler::Matches(const std::string& AData, std::string& AParams) const {
  if (AData.size() == command_.size() && SameTextPrefix(AData, command_)) {
    AParams.clear();
    return true;
  }
  if (!SameTextPrefix(AData, command_)) return false;
  if (cmdDelimiter_ != '\0') {
    if (AData.size() <= command_.size() || AData[command_.size()] != cmdDelimiter_) return false;
    AParams = AData.substr(command_.size() + 1);
    return true;
  }
  AParams = AData.substr(command_.size());
  return true;
}

std::unique_ptr<TIdCommand> TIdCommandHandler::MakeCommand(TIdPeerThread* AThread,
                                                           std::string ARawLine,
                                                           std::string AUnparsedParams) {
  return std::make_unique<TIdCommand>(this, AThread, std::move(ARawLine),
                                      std::move(AUnparsedParams));
}

bool TIdCommandHandler::TryCommand(const std::string& AData, TIdPeerThread* AThread) {
  std::string params;
  if (!Matches(AData, params)) return false;

  std::unique_ptr<TIdCommand> command = MakeCommand(AThread, AData, params);
  if (parseParams_) {
    command->Params() = paramDelimiter_ == ' ' ? SplitAtDelimiter(params, paramDelimiter_)
                                               : SplitAndTrim(params, paramDelimiter_);
  }
  command->SetPerformReply(true);
  command->Reply().Assign(replyNormal_);

  {
    // The command's own failure is the one worth passing on, not one from disconnecting after it.
    auto finish = rtl::OnFailure([&] {
      command.reset();
      if (disconnect_) AThread->Connection()->Disconnect();
    });
    RunCommand(*command);
  }
  command.reset();
  if (disconnect_) AThread->Connection()->Disconnect();
  return true;
}

void TIdCommandHandler::RunCommand(TIdCommand& ACommand) {
  try {
    ACommand.Run();
  } catch (const std::exception& e) {
    if (!ACommand.PerformReply()) throw;
    std::int32_t code = replyExceptionCode_;
    if (code <= 0) {
      TIdTCPServer* server = Server();
      code = server ? server->ReplyExceptionCode() : 0;
    }
    if (code <= 0) throw;
    ACommand.Reply().SetReply(code, e.what());
    ACommand.SendReply();
    return;  // no response block after an error reply
  }
  if (ACommand.PerformReply()) ACommand.SendReply();
  TIdTCPServerConnection* connection = ACommand.Thread()->Connection();
  if (!ACommand.Response().empty())
    connection->WriteDotTerminated(ACommand.Response());
  else if (!response_.empty())
    connection->WriteDotTerminated(response_);
}

std::unique_ptr<rtl::TCollectionItem> TIdCommandHandlers::NewItem() const {
  return std::make_unique<TIdCommandHandler>(nextID_++);
}
