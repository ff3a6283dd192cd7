#!/usr/bin/env python3
"""A Swiss health-insurance card (VeKa) for the vpcd virtual reader driver.

    cardemulator.py --port PORT [options]

Connecting to vpcd inserts the card; closing the connection removes it.
Commands on standard input, one per line:
    insert            connect (again) to vpcd
    remove            close the connection
    card K=V ...      change the card for the next insertion (options below,
                      without the leading dashes, e.g. "card number=8075...")
    quit              remove the card and exit (also at the end of input)
Lines on standard output, with the monotonic clock in seconds:
    inserted T        connected to vpcd
    powered T         vpcd asked for the ATR for the first time since insertion
    apdu T N          the Nth command since insertion was answered
    ignored T N       the Nth command was not answered (--silent)
    pulled T          the card went away by itself (--pull-after)
    removed T         the connection is closed
When vpcd goes away while the card is in (pcscd restarted), the emulator
connects again until it is back, like a card left in its reader. vpcd notices
a removal only when pcscd next polls the reader (every 0.4 s): a card put into
the same reader before then is never seen leaving, so wait for the reader to
be empty first.

Card options:
    --number DIGITS   card number, EF.AD tag 93 (default: the sample card's)
    --name TEXT       "Family name, Given names", EF.ID tag 80
    --foreign         no VeKa files: every SELECT answers 6A82
    --slow MS         wait this long before answering each command
    --silent          never answer a command (the ATR still comes)
    --pull-after N    go away right after answering the Nth command
    --removed         start without inserting the card
"""

import argparse
import os
import select
import shlex
import socket
import struct
import sys
import time

ATR = bytes.fromhex("3B 9F 13 81 B1 80 37 1F 03 80 31 F8 69 4D 54 43 4F 53 70 02 01 02 81 07 86")
SW_OK = b"\x90\x00"


def tlv(tag, value):
    if isinstance(value, str):
        value = value.encode("utf-8")
    if len(value) < 0x80:
        length = bytes([len(value)])
    elif len(value) < 0x100:
        length = bytes([0x81, len(value)])
    else:
        length = bytes([0x82]) + struct.pack(">H", len(value))
    return bytes([tag]) + length + value


def card_files(card):
    ef_id = tlv(0x65, tlv(0x80, card["name"]) + tlv(0x82, card["birth"]) +
                tlv(0x83, card["ahv"]) + tlv(0x84, bytes([int(card["sex"])])))
    ef_ad = tlv(0x65, tlv(0x90, "CH") + tlv(0x91, card["insurer"]) + tlv(0x92, card["bag"]) +
                tlv(0x93, card["number"]) + tlv(0x94, card["expiry"]))
    return {0x2F06: ef_id, 0x2F07: ef_ad}


class Card:
    def __init__(self, port, options):
        self.port = port
        self.options = options
        self.sock = None
        self.wanted = False      # inserted by command, so reconnect when vpcd drops us
        self.buffer = b""
        self.selected = None
        self.commands = 0
        self.powered = False

    def say(self, what, *extra):
        print(what, "%.6f" % time.monotonic(), *extra, flush=True)

    def insert(self):
        self.wanted = True
        self.connect()

    def connect(self):
        if self.sock:
            return
        try:
            sock = socket.create_connection(("127.0.0.1", self.port), timeout=1)
        except OSError:
            return  # vpcd is not there (yet); tried again by the main loop
        sock.setblocking(True)
        sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock, self.buffer, self.selected, self.commands, self.powered = sock, b"", None, 0, False
        self.files = {} if self.options.foreign else card_files(vars(self.options))
        self.say("inserted")

    def close(self, event):
        if self.sock:
            self.sock.close()
            self.sock = None
            self.say(event)

    def remove(self):
        self.wanted = False
        self.close("removed")

    def send(self, payload):
        self.sock.sendall(struct.pack(">H", len(payload)) + payload)

    def receive(self):
        # vpcd sends the length and the payload as two packets: without a quick
        # acknowledgement every command would wait for the delayed one.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        try:
            data = self.sock.recv(4096)
        except OSError:
            data = b""
        if not data:
            self.close("removed")  # vpcd went away; connect again while wanted
            return
        self.buffer += data
        while len(self.buffer) >= 2:
            (length,) = struct.unpack(">H", self.buffer[:2])
            if len(self.buffer) < 2 + length:
                break
            message, self.buffer = self.buffer[2:2 + length], self.buffer[2 + length:]
            self.handle(message)
            if not self.sock:
                break

    def handle(self, message):
        if len(message) == 1:
            if message[0] == 4:
                if not self.powered:
                    self.powered = True
                    self.say("powered")
                self.send(ATR)
            return  # power off, power on and reset need no answer
        if self.options.silent:
            self.commands += 1
            self.say("ignored", self.commands)
            return
        if self.options.slow:
            time.sleep(self.options.slow / 1000)
        self.send(self.answer(message))
        self.commands += 1
        self.say("apdu", self.commands)
        if self.options.pull_after and self.commands >= self.options.pull_after:
            self.wanted = False
            self.close("pulled")

    def answer(self, apdu):
        if len(apdu) < 4:
            return b"\x67\x00"
        cla, ins, p1, p2 = apdu[:4]
        if ins == 0xA4:
            fid = int.from_bytes(apdu[5:7], "big") if len(apdu) >= 7 else -1
            if fid == 0x3F00:
                self.selected = None
                return SW_OK
            if fid not in self.files:
                return b"\x6A\x82"
            self.selected = fid
            return SW_OK
        if ins == 0xB0:
            if self.selected is None:
                return b"\x69\x86"
            data = self.files[self.selected]
            offset = (p1 << 8) | p2
            le = apdu[4] if len(apdu) > 4 else 0
            le = le or 256
            if offset > len(data):
                return b"\x6B\x00"
            chunk = data[offset:offset + le]
            return chunk + (SW_OK if len(chunk) == le else b"\x62\x82")
        return b"\x6D\x00"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="VeKa card for vpcd")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--number", default="80756014390000472318")
    parser.add_argument("--name", default="Brändli, Corinne Anouk")
    parser.add_argument("--birth", default="19830927")
    parser.add_argument("--ahv", default="7569217034826")
    parser.add_argument("--sex", default="2")
    parser.add_argument("--insurer", default="Krankenkasse Seeland")
    parser.add_argument("--bag", default="01439")
    parser.add_argument("--expiry", default="20291231")
    parser.add_argument("--foreign", action="store_true")
    parser.add_argument("--slow", type=int, default=0)
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--pull-after", type=int, default=0)
    parser.add_argument("--removed", action="store_true")
    return parser.parse_args(argv)


def main():
    options = parse_arguments(sys.argv[1:])
    card = Card(options.port, options)
    if not options.removed:
        card.insert()
    stdin = sys.stdin.fileno()
    pending = b""
    while True:
        if card.wanted and not card.sock:
            card.connect()
        watched = [stdin] + ([card.sock] if card.sock else [])
        readable, _, _ = select.select(watched, [], [], 0.05 if card.wanted and not card.sock else None)
        if card.sock in readable:
            card.receive()
        if stdin in readable:
            data = os.read(stdin, 4096)
            if not data:
                card.remove()
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                words = shlex.split(line.decode())
                if not words:
                    continue
                if words[0] == "insert":
                    card.insert()
                elif words[0] == "remove":
                    card.remove()
                elif words[0] == "card":
                    flags = []
                    for word in words[1:]:
                        key, _, value = word.partition("=")
                        flags += ["--" + key] + ([value] if value else [])
                    options = parse_arguments(["--port", str(card.port)] + flags)
                    card.options = options
                elif words[0] == "quit":
                    card.remove()
                    return


if __name__ == "__main__":
    main()
