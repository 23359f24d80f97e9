#!/usr/bin/python3
"""A TCP relay from 127.0.0.1 of this machine into a network namespace: the
PC's own browser (or the tests' Chromium) opens the operator page that
`rfprobe serve` serves inside the rig's station namespace.  It listens on
loopback only, so nothing beyond this machine reaches it.

    sim/pagebridge.py NAMESPACE TARGET_PORT [LOCAL_PORT]

prints "127.0.0.1:PORT" once it listens, and relays until interrupted.
Connections into the namespace are made by one thread that entered it
(setns acts on the calling thread alone); the rest of the process stays
where it was."""
import ctypes
import os
import queue
import socket
import sys
import threading

CLONE_NEWNET = 0x40000000


class PageBridge:
    def __init__(self, netns, target_port, target_host="127.0.0.1", local_port=0):
        self.netns = netns
        self.target = (target_host, target_port)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", local_port))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self._asks = queue.Queue()
        self._closed = False
        self._ready = queue.Queue()
        threading.Thread(target=self._connector, daemon=True).start()
        err = self._ready.get()
        if err:
            self.listener.close()
            raise OSError(err)
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def _connector(self):
        libc = ctypes.CDLL(None, use_errno=True)
        try:
            fd = os.open("/var/run/netns/" + self.netns, os.O_RDONLY)
        except OSError as e:
            self._ready.put("namespace %s: %s" % (self.netns, e))
            return
        rc = libc.setns(fd, CLONE_NEWNET)
        os.close(fd)
        if rc != 0:
            self._ready.put("setns %s: %s" % (self.netns, os.strerror(ctypes.get_errno())))
            return
        self._ready.put(None)
        while True:
            ask = self._asks.get()
            if ask is None:
                return
            reply, source = ask if isinstance(ask, tuple) else (ask, None)
            try:
                reply.put(socket.create_connection(self.target, timeout=5,
                                                   source_address=(source, 0) if source else None))
            except OSError as e:
                reply.put(e)

    def dial(self, source):
        """A socket connected to the target from inside the namespace, from
        the given address (any of 127.0.0.0/8 there): a client of its own, as
        the many viewers of a line are, where the relay's are all one."""
        reply = queue.Queue()
        self._asks.put((reply, source))
        s = reply.get()
        if isinstance(s, Exception):
            raise s
        return s

    def _accept(self):
        while not self._closed:
            try:
                c, _ = self.listener.accept()
            except OSError:
                return
            reply = queue.Queue()
            self._asks.put(reply)
            s = reply.get()
            if isinstance(s, Exception):
                c.close()
                continue
            s.settimeout(None)
            for x in (c, s):
                x.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for a, b in ((c, s), (s, c)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self._closed = True
        self._asks.put(None)
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()


def main(argv):
    if len(argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    b = PageBridge(argv[1], int(argv[2]), local_port=int(argv[3]) if len(argv) == 4 else 0)
    print(b.address, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    b.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
