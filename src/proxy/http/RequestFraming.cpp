#include "proxy/http/RequestFraming.h"

#include <algorithm>

#include "rtl/Text.h"

namespace proxy::http {

std::size_t RequestReader::Append(std::string_view bytes) {
  constexpr std::string_view kLineEndBytes("\r\n\0", 3);
  std::size_t at = 0;
  while (state_ == State::Reading && at < bytes.size()) {
    // Plain text goes in a run at a time; line-end bytes, and the byte after a CR, one by one.
    if (!lineEnds_.Pending()) {
      const std::size_t end = bytes.find_first_of(kLineEndBytes, at);
      open_.append(bytes.substr(at, end - at));
      if (end == std::string_view::npos) {
        at = bytes.size();
        break;
      }
      at = end;
    }
    switch (lineEnds_.Take(bytes[at++])) {
      case LineEnds::Byte::End:
        EndLine();
        break;
      case LineEnds::Byte::Malformed:
        state_ = State::Malformed;
        break;
      case LineEnds::Byte::Text:  // never: only line-end bytes and the one after a CR get here
      case LineEnds::Byte::Pending:
        break;
    }
  }
  size_ += static_cast<std::int64_t>(at);
  return at;
}

void RequestReader::EndLine() {
  if (open_.empty() && lines_.empty()) return;  // a blank line before the request line
  if (open_.empty()) state_ = State::Complete;
  lines_.push_back(std::move(open_));
  open_.clear();
}

namespace {

Request Refused(Refusal refusal) {
  Request request;
  request.Refused = refusal;
  return request;
}

bool IsConnectLine(std::string_view trimmedLine) {
  return trimmedLine.starts_with("CONNECT ");
}

constexpr bool IsNameChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// Dot-separated labels of name characters; a host of digits and dots only must be a dotted
// address ("1.2.3" or "10.1.300.4" name no host).
bool IsTunnelHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  const bool address =
      std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
  std::size_t labels = 0;
  for (std::size_t at = 0; at <= host.size(); ++labels) {
    const std::size_t end = std::min(host.find('.', at), host.size());
    const std::string_view label = host.substr(at, end - at);
    if (label.empty() || label.size() > 63) return false;
    if (!std::all_of(label.begin(), label.end(), IsNameChar)) return false;
    if (address && (label.size() > 3 || std::stoi(std::string(label)) > 255)) return false;
    at = end + 1;
  }
  return !address || labels == 4;
}

// The address inside an IP literal's brackets as the resolver takes it, into hostName; else why
// the literal is refused. The kernel heeds a zone on a link-local address alone and ignores it
// elsewhere, where it could only disguise which address is reached.
std::optional<Refusal> ReadIPLiteral(std::string_view inside, Refusal malformed,
                                     std::string& hostName) {
  std::optional<std::string> address = IPv6LiteralAddress(inside);
  if (!address) return malformed;
  const std::size_t percent = address->find('%');
  if (percent != std::string::npos &&
      !IsLinkLocalIPv6(std::string_view(*address).substr(0, percent)))
    return Refusal::ZoneOffLinkLocal;
  hostName = std::move(*address);
  return std::nullopt;
}

// Every line after the request line a well-formed field line; the refusal when one is not.
std::optional<Refusal> FieldLinesRefusal(const LineList& lines) {
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (!ParseField(lines[i]))
      return IsBlank(lines[i].front()) ? Refusal::FoldedField : Refusal::MalformedField;
  }
  return std::nullopt;
}

Request JudgeConnect(const LineList& lines, std::string_view line) {
  Request request;
  request.Tunnel = true;
  request.Refused = Refusal::MalformedConnectTarget;
  std::string_view rest = line.substr(std::string_view("CONNECT ").size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return request;
  const std::string_view authority = rest.substr(0, space);
  const std::optional<Version> version = ParseVersion(rest.substr(space + 1));
  const std::size_t colon = authority.rfind(':');
  if (!version || version->Major != 1 || colon == std::string_view::npos) return request;
  const std::string_view host = authority.substr(0, colon);
  const std::optional<std::int32_t> port = ParsePort(authority.substr(colon + 1));
  if (!port) return request;
  if (host.starts_with('[') && host.ends_with(']')) {
    if (const std::optional<Refusal> refusal = ReadIPLiteral(
            host.substr(1, host.size() - 2), Refusal::MalformedConnectTarget, request.HostName)) {
      request.Refused = refusal;
      return request;
    }
  } else if (IsTunnelHost(host)) {
    request.HostName = host;
  } else {
    return request;
  }
  request.Refused = FieldLinesRefusal(lines);
  request.Host = host;
  request.PortText = authority.substr(colon + 1);
  request.Port = *port;
  request.Line.append(line.substr(0, line.size() - 8)).append("HTTP/1.0");
  return request;
}

// The request line of a request to forward: method SP target SP version.
Request JudgeRequestLine(std::string_view line) {
  Request request = Refused(Refusal::MalformedRequestLine);
  const std::size_t methodEnd = line.find(' ');
  const std::size_t targetEnd = line.rfind(' ');
  if (methodEnd == std::string_view::npos || targetEnd == methodEnd) return request;
  const std::string_view method = line.substr(0, methodEnd);
  const std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
  const std::optional<Version> version = ParseVersion(line.substr(targetEnd + 1));
  if (!version || !IsToken(method)) return request;
  request.Refused = Refusal::TargetNotHttpUrl;
  if (!target.starts_with("http://") || std::any_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 32 || c == 127;
      }))
    return request;
  const std::size_t pathStart = target.find('/', 7);
  if (pathStart == std::string_view::npos) return request;
  const std::string_view authority = target.substr(7, pathStart - 7);
  std::size_t hostEnd = authority.find(':');
  if (authority.starts_with('[')) {
    hostEnd = std::min(authority.find(']'), authority.size() - 1) + 1;
    if (authority[hostEnd - 1] != ']' || (hostEnd < authority.size() && authority[hostEnd] != ':'))
      return request;
    if (const std::optional<Refusal> refusal = ReadIPLiteral(
            authority.substr(1, hostEnd - 2), Refusal::TargetNotHttpUrl, request.HostName)) {
      request.Refused = refusal;
      return request;
    }
  } else {
    request.HostName = authority.substr(0, hostEnd);
  }
  request.Host = authority.substr(0, hostEnd);
  request.PortText = hostEnd >= authority.size() ? "80" : authority.substr(hostEnd + 1);
  if (request.Host.empty()) return request;
  if (version->Major != 1) {
    request.Refused = Refusal::VersionNotSupported;
    return request;
  }
  request.Refused.reset();
  request.HeadOnly = method == "HEAD";
  request.Line.append(method).append(" ").append(target.substr(pathStart)).append(" HTTP/1.0");
  return request;
}

// The body framing the framing fields give: codings are the Transfer-Encoding's, when there is one.
void FrameBody(Request& request, std::optional<std::int64_t> length,
               const std::vector<std::string_view>* codings) {
  if (codings) {
    if (length) {
      request.Refused = Refusal::LengthWithTransferEncoding;
    } else if (codings->size() != 1 || !FieldNameIs(codings->front(), "chunked")) {
      request.Refused = Refusal::UnsupportedTransferEncoding;
    } else {
      request.BodyKind = Request::Body::Chunked;
    }
  } else if (length) {
    request.BodyKind = Request::Body::Length;
    request.Length = *length;
  }
  // Only a body can be waited for.
  if (request.BodyKind == Request::Body::None || (length && *length == 0))
    request.ContinueExpected = false;
}

// The header lines of a request to forward, rewritten into request.Fields with its body framing.
void JudgeFields(const LineList& lines, Request& request) {
  std::optional<std::int64_t> length;
  std::vector<std::string_view> codings;
  bool transferEncoding = false;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::optional<Field> field = ParseField(line);
    if (!field) {
      request.Refused = IsBlank(line.front()) ? Refusal::FoldedField : Refusal::MalformedField;
      return;
    }
    if (FieldNameIs(field->Name, "content-length")) {
      const std::optional<std::int64_t> parsed = ParseContentLength(field->Value);
      if (!parsed || (length && *length != *parsed)) {
        request.Refused = Refusal::InvalidContentLength;
        return;
      }
      // One line of it goes on, and one number in it.
      if (!length) {
        request.Fields.append(field->Value.find(',') == std::string_view::npos
                                  ? line
                                  : std::string(field->Name) + ": " + std::to_string(*parsed));
        request.Fields.append("\r\n");
      }
      length = parsed;
    } else if (FieldNameIs(field->Name, "transfer-encoding")) {
      transferEncoding = true;
      const std::vector<std::string_view> elements = ListElements(field->Value);
      // An empty one is a coding too, which an origin may read as anything.
      if (elements.empty()) codings.emplace_back();
      codings.insert(codings.end(), elements.begin(), elements.end());
    } else if (FieldNameIs(field->Name, "connection")) {
      request.HasConnectionField = true;
      request.Fields.append(field->Name).append(": close\r\n");
    } else if (FieldNameIs(field->Name, "proxy-authorization") ||
               FieldNameIs(field->Name, "proxy-connection")) {
      // Said to us, not to the origin: credentials for a proxy that asks for none go no further.
    } else if (FieldNameIs(field->Name, "expect")) {
      if (!FieldNameIs(field->Value, "100-continue")) {
        request.Refused = Refusal::ExpectationFailed;
        return;
      }
      request.ContinueExpected = true;
    } else if (!FieldNameIs(field->Name, "keep-alive") && !FieldNameIs(field->Name, "host")) {
      request.Fields.append(line).append("\r\n");
    }
  }
  FrameBody(request, length, transferEncoding ? &codings : nullptr);
}

}  // namespace

Request JudgeRequest(const LineList& lines) {
  if (lines.empty()) return Refused(Refusal::MalformedRequestLine);
  const std::string line = rtl::Trim(lines.front());
  if (IsConnectLine(line)) return JudgeConnect(lines, line);
  Request request = JudgeRequestLine(line);
  if (request.Refused) return request;
  JudgeFields(lines, request);
  if (request.Refused) return request;
  // Checked last, so that a malformed request is refused as such whatever its target says.
  if (const std::optional<std::int32_t> port = ParsePort(request.PortText)) {
    request.Port = *port;
    request.Authority = request.Host;
    if (*port != 80) request.Authority.append(":").append(std::to_string(*port));
  } else {
    request.Refused = Refusal::InvalidPort;
  }
  return request;
}

std::string RequestHead(const Request& request, bool http11, std::uint64_t decodedLength) {
  std::string head = request.Line;
  if (http11) head.back() = '1';
  head.append("\r\nHost: ").append(request.Authority).append("\r\n").append(request.Fields);
  if (http11 && !request.HasConnectionField) head.append("Connection: close\r\n");
  if (request.BodyKind == Request::Body::Chunked)
    head.append("Content-Length: ").append(std::to_string(decodedLength)).append("\r\n");
  return head.append("\r\n");
}

}  // namespace proxy::http
