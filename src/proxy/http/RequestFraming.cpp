#include "proxy/http/RequestFraming.h"

#include <algorithm>

#include "net/IdStack.h"

namespace proxy::http {

namespace {

constexpr bool IsNameChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// Dot-separated labels of name characters; a host of digits and dots only must be an IPv4
// address ("1.2.3" or "10.1.300.4" name no host).
bool IsTunnelHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  if (std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; }))
    return TIdStack::ParseIPAddress(host).has_value();
  for (std::size_t at = 0; at <= host.size();) {
    const std::size_t end = std::min(host.find('.', at), host.size());
    const std::string_view label = host.substr(at, end - at);
    if (label.empty() || label.size() > 63) return false;
    if (!std::all_of(label.begin(), label.end(), IsNameChar)) return false;
    at = end + 1;
  }
  return true;
}

// The IPv6 address inside an IP literal's brackets as the resolver takes it (a zone's "%25" as
// "%"), into hostName; else why the literal is refused. The kernel heeds a zone on a link-local
// address (fe80::/10) alone and ignores it elsewhere, where it could only disguise which address
// is reached.
std::optional<Refusal> ReadIPLiteral(std::string_view inside, Refusal malformed,
                                     std::string& hostName) {
  const std::size_t percent = inside.find('%');
  const std::optional<TIdIPAddressBytes> address =
      TIdStack::ParseIPAddress(inside.substr(0, percent));
  if (!address || address->IPVersion != Id_IPv6) return malformed;
  if (percent == std::string_view::npos) {
    hostName = inside;
    return std::nullopt;
  }
  // A URL writes a zone "%25" and a name of unreserved characters, far shorter than 64 bytes.
  const std::string_view zone = inside.substr(percent);
  if (!zone.starts_with("%25") || zone.size() == 3 || zone.size() > 3 + 64 ||
      !std::all_of(zone.begin() + 3, zone.end(),
                   [](char c) { return IsNameChar(c) || c == '.' || c == '~'; }))
    return malformed;
  if (address->Bytes[0] != 0xfe || (address->Bytes[1] & 0xc0) != 0x80)
    return Refusal::ZoneOffLinkLocal;
  hostName.assign(inside.substr(0, percent)).append("%").append(inside.substr(percent + 3));
  return std::nullopt;
}

// A CONNECT request's line: "CONNECT", host ":" port and the version, a space apart.
Request JudgeConnect(const HeadReader& head) {
  Request request;
  request.Tunnel = true;
  request.Refused = Refusal::MalformedConnectTarget;
  const StartLine& start = head.Start();
  const std::string_view authority = head.Text(start.Target);
  const std::size_t colon = authority.rfind(':');
  if (!start.Protocol || start.Protocol->Major != 1 || colon == std::string_view::npos)
    return request;
  const std::string_view host = authority.substr(0, colon);
  const std::optional<std::int32_t> port = ParsePort(authority.substr(colon + 1));
  if (!port) return request;
  if (host.starts_with('[') && host.ends_with(']')) {
    if (const std::optional<Refusal> refusal =
            ReadIPLiteral(host.substr(1, host.size() - 2), Refusal::MalformedConnectTarget,
                          request.HostToResolve)) {
      request.Refused = refusal;
      return request;
    }
  } else if (IsTunnelHost(host)) {
    request.HostToResolve = host;
  } else {
    return request;
  }
  request.Refused.reset();
  request.Host = host;
  request.PortText = authority.substr(colon + 1);
  request.Port = *port;
  request.Line.append("CONNECT ").append(authority).append(" HTTP/1.0");
  return request;
}

// The request line of a request to forward: method SP target SP version.
Request JudgeRequestLine(const HeadReader& head) {
  Request request;
  request.Refused = Refusal::MalformedRequestLine;
  const StartLine& start = head.Start();
  const std::string_view method = head.Text(start.Method);
  const std::string_view target = head.Text(start.Target);
  const std::optional<Version>& version = start.Protocol;
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
            authority.substr(1, hostEnd - 2), Refusal::TargetNotHttpUrl, request.HostToResolve)) {
      request.Refused = refusal;
      return request;
    }
  } else {
    request.HostToResolve = authority.substr(0, hostEnd);
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

// The body the framing fields give, once they are all read.
void FrameBody(Request& request, const Framing& framing) {
  if (framing.CodingFields > 0) {
    if (framing.Length) {
      request.Refused = Refusal::LengthWithTransferEncoding;
    } else if (!framing.Chunked()) {
      request.Refused = Refusal::UnsupportedTransferEncoding;
    } else {
      request.BodyKind = Request::Body::Chunked;
    }
  } else if (framing.Length) {
    request.BodyKind = Request::Body::Length;
    request.Length = *framing.Length;
  }
  // Only a body can be waited for.
  if (request.BodyKind == Request::Body::None || framing.Length == 0)
    request.ContinueExpected = false;
}

// What becomes of a well-formed field of a request to forward; request.Refused is set when the
// field refuses the request.
FieldEdit EditField(std::string_view name, std::string_view value, Request& request,
                    Framing& framing) {
  using Kind = FieldEdit::Kind;
  const bool lengthBefore = framing.Length.has_value();
  if (framing.Take(name, value)) {
    if (framing.LengthMalformed || framing.LengthsDiffer)
      request.Refused = Refusal::InvalidContentLength;
    // One Content-Length goes on, and one number in it; the proxy frames a chunked body itself.
    if (!FieldNameIs(name, "content-length") || lengthBefore) return {Kind::Drop, {}};
    if (value.find(',') == std::string_view::npos) return {};
    return {Kind::Replace, std::to_string(*framing.Length)};
  }
  if (FieldNameIs(name, "connection")) {
    request.HasConnectionField = true;
    return {Kind::Replace, "close"};
  }
  if (FieldNameIs(name, "expect")) {
    if (FieldNameIs(value, "100-continue")) {
      request.ContinueExpected = true;
    } else {
      request.Refused = Refusal::ExpectationFailed;
    }
    return {Kind::Drop, {}};
  }
  // Words said to the proxy go no further, credentials among them; Host is the target's.
  for (const std::string_view ours :
       {"proxy-authorization", "proxy-connection", "keep-alive", "host"})
    if (FieldNameIs(name, ours)) return {Kind::Drop, {}};
  return {};
}

// The field lines of a request: well-formed, and for a request to forward rewritten into
// request.Fields with its body framing.
void JudgeFields(const HeadReader& head, Request& request) {
  Framing framing;
  std::vector<FieldEdit> edits;
  for (const FieldLine& line : head.Fields()) {
    if (line.Shape != FieldLine::Form::Field) {
      request.Refused =
          line.Shape == FieldLine::Form::Folded ? Refusal::FoldedField : Refusal::MalformedField;
      return;
    }
    if (request.Tunnel) continue;
    edits.push_back(EditField(head.Text(line.Name), head.Text(line.Value), request, framing));
    if (request.Refused) return;
  }
  if (request.Tunnel) return;
  AppendFieldLines(head, edits, true, request.Fields);
  FrameBody(request, framing);
}

}  // namespace

Request JudgeRequest(const HeadReader& head) {
  Request request =
      head.Text(head.Start().Method) == "CONNECT" ? JudgeConnect(head) : JudgeRequestLine(head);
  if (request.Refused) return request;
  JudgeFields(head, request);
  if (request.Refused || request.Tunnel) return request;
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
