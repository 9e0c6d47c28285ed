#!/usr/bin/python3
"""FTP server for the tests: one account, one directory, 127.0.0.1 only.

Binds a free port and prints "PORT <n>" on stdout once it accepts connections. Exits when its
standard input closes, so a test that dies does not leave it running.

A file NAME that is not there but has a companion NAME.generated holding a number N is served
as N bytes made up as they are sent, with no size announced (SIZE fails): a server that streams
without end, with nothing on disk.

Options to play a bad server:
  --throttle N     send at most N bytes a second on data connections, in small steady steps
  --drop-after N   after N bytes of a download, close the data and the control connection
                   without a reply, as a server that dies mid-transfer
"""

import argparse
import logging
import os
import sys
import threading
import warnings

warnings.simplefilter("ignore", DeprecationWarning)

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402


def make_data_handler(throttle, drop_after):
    class DataHandler(ThrottledDTPHandler):
        # Always the send() path (never sendfile), so that bytes can be counted and cut.
        write_limit = throttle
        if throttle:
            ac_out_buffer_size = max(256, throttle // 20)

        def _throttle_bandwidth(self, len_chunk, max_speed):
            # A pause after every chunk, as long as the chunk should take: a steady trickle
            # rather than the one-second bursts of the base class.
            if len_chunk <= 0:
                return

            def resume():
                self.add_channel(events=self.ioloop.WRITE)

            self.del_channel()
            self._cancel_throttler()
            self._throttler = self.ioloop.call_later(
                len_chunk / max_speed, resume, _errback=self.handle_error)

        def send(self, data):
            if drop_after < 0:
                return super().send(data)
            data = data[:max(0, drop_after - self.tot_bytes_sent)]
            sent = super().send(data) if data else 0
            if self.tot_bytes_sent >= drop_after:
                # No "426", no "226": both connections simply go away.
                self._cancel_throttler()
                self.cmd_channel.close()
            return sent

    return DataHandler


class GeneratedProducer:
    """N bytes of lines of text, produced as the data connection asks for them."""

    chunk = (b"Z" * 63 + b"\n") * 1024

    def __init__(self, size):
        self.left = size

    def more(self):
        data = self.chunk[:min(self.left, len(self.chunk))]
        self.left -= len(data)
        return data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--throttle", type=int, default=0)
    parser.add_argument("--drop-after", type=int, default=-1)
    args = parser.parse_args()

    logging.basicConfig(level=logging.ERROR)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")

    def generated_size(path):
        try:
            with open(path + ".generated") as companion:
                return int(companion.read())
        except (OSError, ValueError):
            return None

    class Handler(FTPHandler):
        def ftp_RETR(self, file):
            size = generated_size(file)
            if size is None:
                return FTPHandler.ftp_RETR(self, file)
            self.push_dtp_data(GeneratedProducer(size), isproducer=True, cmd="RETR")
            return file

        def ftp_SIZE(self, path):
            if generated_size(path) is None:
                return FTPHandler.ftp_SIZE(self, path)
            # Not 550, which a client takes for a missing file.
            self.respond("502 SIZE not implemented for this file.")

    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0.05
    Handler.dtp_handler = make_data_handler(args.throttle, args.drop_after)
    Handler.passive_ports = None
    Handler.permit_foreign_addresses = False

    server = FTPServer(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.address[1], flush=True)

    def exit_when_parent_goes():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=exit_when_parent_goes, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
