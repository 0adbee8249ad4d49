#!/usr/bin/env python3
"""Lets a test program under Wine in the PC/SC root bring virtual cards and pcscd and take them away.

Runs outside the root (it calls scripts/pcsc-root.sh) and listens on 127.0.0.1:PORT, which the
program in the root reaches as its own loopback. One command a line, one answer a line:
  card <virtual_card.py options..>   -> "ok <pid>"   (the card's process; it arrives shortly after)
  card-stop <pid>                    -> "ok"         (the card leaves)
  pcscd-stop | pcscd-start           -> "ok"         (the readers go away, come back)
Anything that fails answers "error <message>". Prints "listening on PORT" once it listens.

Usage: pcsc_card_control.py <pcsc-root.sh> <port>
"""
import socketserver
import subprocess
import sys

COMMANDS = ("card", "card-stop", "pcscd-stop", "pcscd-start")


def main():
    root_sh, port = sys.argv[1], int(sys.argv[2])

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            for line in self.rfile:
                words = line.decode("utf-8", "replace").split()
                if not words:
                    continue
                if words[0] not in COMMANDS:
                    reply = "error unknown command %s" % words[0]
                else:
                    run = subprocess.run([root_sh] + words, capture_output=True, text=True)
                    if run.returncode == 0:
                        reply = ("ok " + run.stdout.strip()).strip()
                    else:
                        reply = "error " + " ".join((run.stderr or run.stdout).split())
                print(" ".join(words), "->", reply, flush=True)
                self.wfile.write((reply + "\n").encode())
                self.wfile.flush()

    socketserver.TCPServer.allow_reuse_address = True
    with socketserver.TCPServer(("127.0.0.1", port), Handler) as server:
        print("listening on", port, flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
