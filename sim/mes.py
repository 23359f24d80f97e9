#!/usr/bin/python3
"""A small MES for tests and the demo: answers the stations' route checks
(CFX ValidateUnitsRequest) by rules and keeps every message it receives.

    sim/mes.py --broker amqp://127.0.0.1:5672 [--user guest --password guest]
               --requests /queue/mes.requests --results /queue/cfx.results
               --received FILE [--passed SERIAL]... [--hold SERIAL]...
               [--previous-station NAME] [--misbehave SERIAL=MODE]...

Rules: a serial is let through when it has a PASS from the previous station
(--passed) and is not on hold (--hold); otherwise the answer says why.
--misbehave answers one serial's check wrongly, for the station's fault
handling: malformed (not JSON), other-serial (about another unit), late
(after 5 s), silent (no answer).  Each message taken from --results is
appended to FILE as one JSON line: {"message_id", "subject", "body"}, body
being the CFX message as received.  Prints "ready" once both addresses
are attached.  Runs on Debian's python3-qpid-proton.
"""

import argparse
import json
import sys
import uuid
from datetime import datetime, timezone

from proton import Message
from proton.handlers import MessagingHandler
from proton.reactor import Container

RESPONSE = "CFX.InformationSystem.UnitValidation.ValidateUnitsResponse"


def now():
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def text_of(body):
    if isinstance(body, (bytes, bytearray, memoryview)):
        return bytes(body).decode("utf-8", "replace")
    return body if isinstance(body, str) else str(body)


class Reply:
    def __init__(self, mes, address, message):
        self.mes, self.address, self.message = mes, address, message

    def on_timer_task(self, event):
        self.mes.send(self.address, self.message)


class Mes(MessagingHandler):
    def __init__(self, args):
        super().__init__(auto_accept=False)
        self.args = args
        self.passed = set(args.passed)
        self.hold = set(args.hold)
        self.misbehave = dict(m.split("=", 1) for m in args.misbehave)
        self.senders = {}
        self.attached = 0
        self.out = open(args.received, "a")

    def on_start(self, event):
        kw = {}
        if self.args.user:
            kw = {"user": self.args.user, "password": self.args.password, "allowed_mechs": "PLAIN"}
        self.conn = event.container.connect(self.args.broker, **kw)
        self.container = event.container
        self.requests = event.container.create_receiver(self.conn, self.args.requests)
        self.results = event.container.create_receiver(self.conn, self.args.results)

    def on_link_opened(self, event):
        if event.receiver in (self.requests, self.results):
            self.attached += 1
            if self.attached == 2:
                print("ready", flush=True)

    def send(self, address, message):
        s = self.senders.get(address)
        if s is None:
            s = self.senders[address] = self.container.create_sender(self.conn, address)
        s.send(message)

    def on_message(self, event):
        m = event.message
        body = text_of(m.body)
        if event.receiver == self.results:
            self.out.write(json.dumps({"message_id": str(m.id), "subject": m.subject, "body": body}) + "\n")
            self.out.flush()
        else:
            self.answer(m, body)
        self.accept(event.delivery)

    def verdict(self, serial):
        if serial in self.hold:
            return "Failed", 2, "%s is on hold" % serial
        if serial not in self.passed:
            return "Failed", 1, "%s has no PASS from the previous station (%s)" % (serial, self.args.previous_station)
        return "Passed", 0, "OK"

    def answer(self, m, body):
        try:
            req = json.loads(body)
            serial = req["MessageBody"]["PrimaryIdentifier"]
            request_id = req.get("RequestID") or req.get("UniqueID")
        except (ValueError, KeyError, TypeError):
            return
        mode = self.misbehave.get(serial, "")
        result, code, text = self.verdict(serial)
        about = "OTHER-" + serial if mode == "other-serial" else serial
        resp = {
            "MessageName": RESPONSE, "Version": "2.0", "TimeStamp": now(), "UniqueID": str(uuid.uuid4()),
            "Source": "factory.mes.sim", "Target": req.get("Source"), "RequestID": request_id,
            "MessageBody": {
                "$type": RESPONSE + ", CFX",
                "Result": {"Result": "Success", "ResultCode": 0, "Message": None},
                "PrimaryResult": {"UniqueIdentifier": about, "PositionNumber": 0, "Result": result,
                                  "FailureCode": code, "Message": text},
                "ValidationResults": [],
            },
        }
        data = "{not json" if mode == "malformed" else json.dumps(resp)
        reply = Message(body=data.encode(), correlation_id=m.correlation_id or request_id,
                        subject=RESPONSE, content_type="application/json")
        if mode == "silent" or not m.reply_to:
            return
        if mode == "late":
            self.container.schedule(5.0, Reply(self, m.reply_to, reply))
            return
        self.send(m.reply_to, reply)

    def on_transport_error(self, event):
        cond = event.transport.condition
        print("mes: broker %s: %s" % (self.args.broker, cond.description if cond else "transport error"),
              file=sys.stderr, flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--broker", required=True)
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--requests", default="/queue/mes.requests")
    p.add_argument("--results", default="/queue/cfx.results")
    p.add_argument("--received", required=True)
    p.add_argument("--passed", action="append", default=[])
    p.add_argument("--hold", action="append", default=[])
    p.add_argument("--previous-station", default="ICT")
    p.add_argument("--misbehave", action="append", default=[])
    args = p.parse_args()
    try:
        Container(Mes(args)).run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
