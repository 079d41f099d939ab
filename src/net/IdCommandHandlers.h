#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/IdRFCReply.h"
#include "rtl/Collection.h"

class TIdCommand;
class TIdCommandHandler;
class TIdPeerThread;
class TIdTCPServer;

using TIdCommandEvent = std::function<void(TIdCommand* ASender)>;

// The non-empty pieces of text between delimiters, untrimmed.
std::vector<std::string> SplitAtDelimiter(const std::string& AText, char ADelimiter);
// The pieces of text between delimiters with blanks and control characters trimmed from the whole
// text and from each piece; pieces that are empty before trimming are left out.
std::vector<std::string> SplitAndTrim(const std::string& AText, char ADelimiter);

// One command line being handled: made by TryCommand for each line a handler takes, and gone when
// the handler is done with it.
class TIdCommand {
 public:
  TIdCommand(TIdCommandHandler* ACommandHandler, TIdPeerThread* AThread, std::string ARawLine,
             std::string AUnparsedParams);
  virtual ~TIdCommand() = default;
  TIdCommand(const TIdCommand&) = delete;
  TIdCommand& operator=(const TIdCommand&) = delete;

  const std::string& RawLine() const { return rawLine_; }
  const std::string& UnparsedParams() const { return unparsedParams_; }
  std::vector<std::string>& Params() { return params_; }
  TIdRFCReply& Reply() { return reply_; }
  // Lines sent as a dot-terminated block after the reply; the handler's own are used when empty.
  std::vector<std::string>& Response() { return response_; }
  bool PerformReply() const { return performReply_; }
  void SetPerformReply(bool AValue) { performReply_ = AValue; }
  TIdCommandHandler* CommandHandler() const { return commandHandler_; }
  TIdPeerThread* Thread() const { return thread_; }

  // Sends Reply now (with the server's default text when it has none) instead of after the command.
  void SendReply();
  // Runs the command (DoCommand); the handler calls it once.
  void Run() { DoCommand(); }

 protected:
  // Fires the handler's OnCommand.
  virtual void DoCommand();

 private:
  TIdCommandHandler* const commandHandler_;
  TIdPeerThread* const thread_;
  const std::string rawLine_;
  const std::string unparsedParams_;
  std::vector<std::string> params_;
  TIdRFCReply reply_;
  std::vector<std::string> response_;
  bool performReply_ = true;
};

// A line command of a server: the command word, how its parameters are split, what to answer.
//
// Handlers are set up before the server is activated and left alone while it runs; TryCommand is
// then called on peer threads, several at once, each with a command object of its own.
class TIdCommandHandler : public rtl::TCollectionItem {
 public:
  // AID: the number the collection gives; the name is the class name followed by it.
  explicit TIdCommandHandler(std::int32_t AID = 0);

  // '\0' means none: the parameters then follow the command word directly.
  char CmdDelimiter() const { return cmdDelimiter_; }
  void SetCmdDelimiter(char AValue) { cmdDelimiter_ = AValue; }
  const std::string& Command() const { return command_; }
  void SetCommand(std::string AValue) { command_ = std::move(AValue); }
  bool Disconnect() const { return disconnect_; }
  void SetDisconnect(bool AValue) { disconnect_ = AValue; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool AValue) { enabled_ = AValue; }
  const std::string& Name() const { return name_; }
  void SetName(std::string AValue) { name_ = std::move(AValue); }
  char ParamDelimiter() const { return paramDelimiter_; }
  void SetParamDelimiter(char AValue) { paramDelimiter_ = AValue; }
  bool ParseParams() const { return parseParams_; }
  void SetParseParams(bool AValue) { parseParams_ = AValue; }
  std::int32_t ReplyExceptionCode() const { return replyExceptionCode_; }
  void SetReplyExceptionCode(std::int32_t AValue) { replyExceptionCode_ = AValue; }
  TIdRFCReply& ReplyNormal() { return replyNormal_; }
  std::vector<std::string>& Response() { return response_; }
  std::int32_t Tag() const { return tag_; }
  void SetTag(std::int32_t AValue) { tag_ = AValue; }
  // Given by the collection; 0 for a handler outside one.
  std::int32_t ID() const { return id_; }

  TIdCommandEvent OnCommand;

  // The server whose collection holds this handler, if any.
  TIdTCPServer* Server() const;

  // Whether AData is this command (letter case ignored); AParams receives the text after it.
  bool Matches(const std::string& AData, std::string& AParams) const;
  // Runs the command when AData matches it and answers the client; false when it does not match.
  virtual bool TryCommand(const std::string& AData, TIdPeerThread* AThread);

 protected:
  // The command object for one line; a derived handler may make its own kind.
  virtual std::unique_ptr<TIdCommand> MakeCommand(TIdPeerThread* AThread, std::string ARawLine,
                                                  std::string AUnparsedParams);

 private:
  void RunCommand(TIdCommand& ACommand);

  char cmdDelimiter_ = ' ';
  std::string command_;
  bool disconnect_ = false;
  bool enabled_ = true;
  std::string name_;
  char paramDelimiter_ = ' ';
  bool parseParams_ = true;
  std::int32_t replyExceptionCode_ = 0;
  TIdRFCReply replyNormal_;
  std::vector<std::string> response_;
  std::int32_t tag_ = 0;
  std::int32_t id_ = 0;
};

// A server's line commands, tried in order.
class TIdCommandHandlers : public rtl::TCollectionOf<TIdCommandHandler, TIdTCPServer> {
 public:
  using TCollectionOf::TCollectionOf;

 protected:
  // Numbers each new handler and names it after its class and number.
  std::unique_ptr<rtl::TCollectionItem> NewItem() const override;

 private:
  mutable std::int32_t nextID_ = 0;
};
