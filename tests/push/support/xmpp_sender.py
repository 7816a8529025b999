#!/usr/bin/env python3
"""An independent XMPP client for the push tests, on Debian's slixmpp: logs in over verified TLS and
runs its actions in order, printing one line per answer, then disconnects.

usage: xmpp_sender.py HOST PORT JID PASSWORD CAFILE ACTION...
actions: message:TO:TYPE:BODY   (a message; TYPE "-" for none)
         many:TO:COUNT          (COUNT chat messages with bodies "n0".."nCOUNT-1")
         iq:TO                  (an iq get with a jabber:iq:version query; prints the answer's XML)
         logins:COUNT           (logs in and out COUNT times; prints the seconds and CPU seconds taken)
         receive:COUNT          (waits for COUNT messages; prints the seconds and CPU seconds from the
                                 first to the last)
"""
import asyncio
import logging
import sys
import time

import slixmpp
from slixmpp.exceptions import IqError, IqTimeout


class Sender(slixmpp.ClientXMPP):
    def __init__(self, jid, password, actions):
        super().__init__(jid, password)
        self.actions = actions
        self.add_event_handler("session_start", self.start)
        self.expected = 0
        self.received = 0
        self.first = None
        self.add_event_handler("message", self.count)

    def count(self, _message):
        if self.expected == 0:
            return
        if self.first is None:
            self.first = (time.monotonic(), time.process_time())
        self.received += 1
        if self.received == self.expected:
            print("%.6f %.6f" % (time.monotonic() - self.first[0], time.process_time() - self.first[1]), flush=True)
            self.disconnect()

    async def start(self, _event):
        receive = [a for a in self.actions if a.startswith("receive:")]
        if receive:
            self.send_presence()
            print("ready", flush=True)
            self.expected = int(receive[0].split(":")[1])
            return
        for action in self.actions:
            kind, _, rest = action.partition(":")
            if kind == "message":
                to, mtype, body = rest.split(":", 2)
                message = self.make_message(mto=to, mbody=body)
                if mtype != "-":
                    message.xml.set("type", mtype)
                message.send()
            elif kind == "many":
                to, count = rest.rsplit(":", 1)
                for n in range(int(count)):
                    self.send_message(mto=to, mbody="n%d" % n, mtype="chat")
            elif kind == "iq":
                iq = self.make_iq_get(queryxmlns="jabber:iq:version", ito=rest)
                try:
                    answer = await iq.send(timeout=10)
                except IqError as error:
                    answer = error.iq
                except IqTimeout:
                    answer = "timeout"
                print(str(answer), flush=True)
            await asyncio.sleep(0)
        # Lets the last stanzas leave before the stream closes.
        await asyncio.sleep(0.2)
        self.disconnect()


def run_once(host, port, jid, password, cafile, actions):
    client = Sender(jid, password, actions)
    client.ca_certs = cafile
    client["feature_mechanisms"].unencrypted_plain = False
    client.connect(address=(host, int(port)), force_starttls=True)
    client.process(forever=False)


def main():
    host, port, jid, password, cafile, *actions = sys.argv[1:]
    # slixmpp leaves pending tasks behind at each disconnect; asyncio reports them at exit.
    logging.basicConfig(level=logging.CRITICAL)
    logins = [a for a in actions if a.startswith("logins:")]
    if logins:
        count = int(logins[0].split(":")[1])
        started = (time.monotonic(), time.process_time())
        for _ in range(count):
            run_once(host, port, jid, password, cafile, [])
        print("%.6f %.6f" % (time.monotonic() - started[0], time.process_time() - started[1]), flush=True)
        return
    run_once(host, port, jid, password, cafile, actions)
    print("done", flush=True)


if __name__ == "__main__":
    main()
