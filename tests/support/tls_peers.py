"""TLS ends for the proxy's tunnel tests, on 127.0.0.1 only: an HTTPS origin server, and clients
that reach it through the proxy's CONNECT. Debian's python3 and its ssl module, nothing else.

  tls_peers.py origin CERT KEY
      Serves HTTPS on a free port. Reports on descriptor 3: "port N" once listening, then
      "request LINE" for every request line, "upload BYTES intact" (or "damaged") when a
      /duplex body has come whole, "closed" when a connection has ended.
      GET /file?size=N      N pattern bytes; /page: a small HTML page.
      POST /duplex?size=N   sends N pattern bytes while it reads the request body.
      GET /silent           answers nothing until the client closes.
      GET /reset?size=N     sends the header and N body bytes, then resets the connection.

  tls_peers.py client PROXY ORIGIN MODE
      MODE early: CONNECT and the TLS ClientHello in one write, then GET /file?size=5000.
      MODE duplex: POST /duplex?size=20000 with a 1 MiB body while the answer streams in.
      MODE vanish-reset / vanish-close: GET /silent, then go with a reset or a close.
      Prints "body BYTES intact" (or "damaged") for what it fetched, or "gone".
"""

import asyncio
import os
import socket
import ssl
import struct
import sys

PERIOD = bytes((i * 131) % 251 for i in range(251))


def pattern(n):
    """The bytes the tests' Pattern(0, n) gives."""
    return (PERIOD * (n // 251 + 1))[:n]


def report(line):
    os.write(3, (line + "\n").encode())


def verdict(data):
    return "%d %s" % (len(data), "intact" if data == pattern(len(data)) else "damaged")


def reset(writer):
    sock = writer.get_extra_info("socket")
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def serve(reader, writer):
    try:
        head = await reader.readuntil(b"\r\n\r\n")
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        report("request " + line)
        target = line.split(" ")[1]
        path, _, query = target.partition("?")
        size = int(dict(p.split("=", 1) for p in query.split("&") if "=" in p).get("size", 0))
        answer = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
        if path == "/file":
            writer.write(answer % size + pattern(size))
        elif path == "/page":
            page = b"<html><body><p>tls-origin-page</p></body></html>"
            writer.write(answer.replace(b"OK", b"OK\r\nContent-Type: text/html") % len(page) + page)
        elif path == "/duplex":
            # Queued whole, in small records the client can read one by one; the transport sends
            # them as the connection allows, while we read.
            data = answer % size + pattern(size)
            for at in range(0, len(data), 500):
                writer.write(data[at:at + 500])
            length = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
            body = await reader.readexactly(length)
            report("upload " + verdict(body))
        elif path == "/silent":
            await reader.read()
        elif path == "/reset":
            writer.write(answer % (2 * size) + pattern(size))
            await writer.drain()
            await asyncio.sleep(0.2)
            reset(writer)
            return
        await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, ValueError, IndexError):
        pass
    finally:
        writer.close()
        report("closed")


async def origin(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    server = await asyncio.start_server(serve, "127.0.0.1", 0, ssl=context)
    report("port %d" % server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def client_context():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def read_answer_head(sock, pending=b""):
    while b"\r\n\r\n" not in pending:
        got = sock.recv(4096)
        if not got:
            raise ConnectionError("closed before the end of the answer's header block")
        pending += got
    head, _, rest = pending.partition(b"\r\n\r\n")
    return head, rest


def body_of(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise ConnectionError("unexpected answer " + repr(head[:40]))
    return body


async def fetch_after_early_hello(proxy, port):
    """The ClientHello goes out in the same write as the CONNECT header block."""
    sock = socket.create_connection(("127.0.0.1", proxy))
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = client_context().wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    connect = b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port)
    sock.sendall(connect + outgoing.read())
    head, rest = read_answer_head(sock)
    if head != b"HTTP/1.0 200 Connection established":
        raise ConnectionError("proxy said " + repr(head))
    incoming.write(rest)
    request = b"GET /file?size=5000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    answer, sent, closed = b"", False, False
    while not closed:
        try:
            if not sent:
                tls.do_handshake()
                tls.write(request)
                sent = True
            while not closed:
                chunk = tls.read(65536)
                answer += chunk
                closed = not chunk  # the server's close_notify
        except ssl.SSLWantReadError:
            pass
        except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
            break
        sock.sendall(outgoing.read())
        got = sock.recv(65536) if not closed else b""
        closed = closed or not got
        incoming.write(got)
    return body_of(answer)


async def tunnel(proxy, port):
    """A TLS stream through the proxy's tunnel to the origin."""
    sock = socket.create_connection(("127.0.0.1", proxy))
    sock.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % port)
    head, rest = read_answer_head(sock)
    if head != b"HTTP/1.0 200 Connection established" or rest:
        raise ConnectionError("proxy said " + repr(head))
    sock.setblocking(False)
    return await asyncio.open_connection(
        sock=sock, ssl=client_context(), server_hostname="127.0.0.1")


async def duplex(proxy, port):
    reader, writer = await tunnel(proxy, port)
    upload = pattern(1 << 20)
    writer.write(b"POST /duplex?size=20000 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 b"Content-Length: %d\r\n\r\n" % len(upload))
    # The upload starts once the answer has begun to arrive, so it meets a paced download.
    answer = await reader.readexactly(1000)
    writer.write(upload)
    answer += await reader.read()
    writer.close()
    return body_of(answer)


async def vanish(proxy, port, how):
    reader, writer = await tunnel(proxy, port)
    writer.write(b"GET /silent HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    await writer.drain()
    await asyncio.sleep(0.3)
    if how == "reset":
        reset(writer)
    else:
        writer.get_extra_info("socket").shutdown(socket.SHUT_RDWR)
        writer.transport.abort()
    return None


async def client(proxy, port, mode):
    if mode == "early":
        body = await fetch_after_early_hello(proxy, port)
    elif mode == "duplex":
        body = await duplex(proxy, port)
    else:
        body = await vanish(proxy, port, mode.split("-")[1])
    print("gone" if body is None else "body " + verdict(body), flush=True)


def main():
    if sys.argv[1] == "origin":
        asyncio.run(origin(sys.argv[2], sys.argv[3]))
    else:
        asyncio.run(client(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]))


if __name__ == "__main__":
    main()
