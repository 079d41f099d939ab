#include "support/TlsPeers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/Subprocess.h"

namespace test {
namespace {

std::string Script() {
  return TRAMLET_TLS_PEERS_SCRIPT;
}

std::string TemporaryFolder() {
  char pattern[] = "/tmp/tramlet-tls-XXXXXX";
  return ::mkdtemp(pattern) ? pattern : "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TlsOrigin::TlsOrigin() : folder_(TemporaryFolder()) {
  if (folder_.empty()) {
    ADD_FAILURE() << "no temporary folder for the TLS origin";
    return;
  }
  const std::string key = folder_ + "/key.pem";
  const std::string cert = folder_ + "/cert.pem";
  const std::string makeCertificate =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>&1";
  if (!RunAndCapture(makeCertificate)) {
    ADD_FAILURE() << "openssl could not make a certificate: " << makeCertificate;
    return;
  }
  ChildOptions options;
  options.argv = {kSystemPython, Script(), "origin", cert, key};
  options.outputPath = folder_ + "/origin.log";
  options.reportPipe = true;
  if (!process_.Start(options)) {
    ADD_FAILURE() << "cannot start " << kSystemPython;
    return;
  }
  const std::optional<std::string> port = WaitFor("port ");
  if (!port) {
    ADD_FAILURE() << "the TLS origin did not start: " << ReadAll(options.outputPath);
    return;
  }
  port_ = std::atoi(port->c_str() + 5);
}

TlsOrigin::~TlsOrigin() {
  process_.Stop();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::optional<std::string> TlsOrigin::WaitFor(const std::string& prefix, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> line = process_.ReadReportLine(static_cast<int>(left.count()));
    if (!line) return std::nullopt;
    reports_.push_back(*line);
    if (line->rfind(prefix, 0) == 0) return line;
  }
}

TlsClient::TlsClient(std::int32_t proxyPort, std::int32_t originPort, const std::string& mode) {
  const std::string folder = TemporaryFolder();
  outputPath_ = folder.empty() ? "" : folder + "/client.log";
  ChildOptions options;
  options.argv = {
      kSystemPython, Script(), "client", std::to_string(proxyPort), std::to_string(originPort),
      mode};
  options.outputPath = outputPath_;
  if (outputPath_.empty() || !process_.Start(options))
    ADD_FAILURE() << "cannot start the TLS client";
}

TlsClient::~TlsClient() {
  process_.Stop();
  if (!outputPath_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(outputPath_).parent_path(), ignored);
  }
}

std::optional<std::string> TlsClient::Result(int timeoutMs) {
  const std::optional<int> status = process_.WaitForExit(timeoutMs);
  const std::string output = ReadAll(outputPath_);
  EXPECT_EQ(status, 0) << "the TLS client said: " << output;
  if (status != 0) return std::nullopt;
  return output;
}

}  // namespace test
