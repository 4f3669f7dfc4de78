"""Many keep-alive connections opened as fast as one client can, each then asked one
request and answered; they stay open until the block that holds them ends."""

import errno
import selectors
import socket
import time


class Connections:
    def __init__(self, port, count):
        self.port = port
        self.count = count
        self.sockets = []
        self.opened = 0
        self.answered = 0
        self.open_seconds = None
        self.answer_seconds = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for sock in self.sockets:
            sock.close()
        self.sockets = []

    def open(self, patience):
        """Connects every socket without waiting for one before the next; the time runs
        until the last is established (or the patience ends)."""
        start = time.monotonic()
        selector = selectors.DefaultSelector()
        for _ in range(self.count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setblocking(False)
            result = sock.connect_ex(("127.0.0.1", self.port))
            self.sockets.append(sock)
            if result == 0:
                self.opened += 1
            elif result == errno.EINPROGRESS:
                selector.register(sock, selectors.EVENT_WRITE)
            else:
                sock.close()
        deadline = start + patience
        while selector.get_map() and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=0.5):
                selector.unregister(key.fileobj)
                if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                    self.opened += 1
        selector.close()
        self.sockets = [sock for sock in self.sockets if sock.fileno() >= 0]
        self.open_seconds = time.monotonic() - start

    def ask(self, request, patience):
        """Sends the request on every open connection and reads one answer on each (a head
        with a Content-Length and that many bytes); the time runs from the first send to
        the last complete answer."""
        start = time.monotonic()
        selector = selectors.DefaultSelector()
        received = {}
        for sock in self.sockets:
            try:
                sock.send(request)
            except OSError:
                continue
            received[sock] = bytearray()
            selector.register(sock, selectors.EVENT_READ)
        deadline = start + patience
        while selector.get_map() and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=0.5):
                sock = key.fileobj
                try:
                    data = sock.recv(65536)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                received[sock] += data
                if not data or _answer_complete(received[sock]):
                    selector.unregister(sock)
                    if data:
                        self.answered += 1
        selector.close()
        self.answer_seconds = time.monotonic() - start


def _answer_complete(data):
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    for line in bytes(data[:end]).split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return len(data) - end - 4 >= int(value)
    return True
