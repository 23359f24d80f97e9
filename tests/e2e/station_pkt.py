"""Station-side packet helper, run inside the station namespace.

Reads a JSON job on stdin, sniffs the replies (UDP to port 1062) on the
station interface, then sends the given raw frames and/or runs a command,
and prints a JSON result: the reply frames in hex, in arrival order, and the
command's output.  It stops as soon as `expect` replies have arrived, or
after `timeout` seconds.

Job fields: iface, frames (hex list), run (argv list), expect (int),
timeout (s).
"""
import json
import subprocess
import sys
import threading
import time

from scapy.all import AsyncSniffer, UDP, conf, sendp

conf.verb = 0


def main():
    job = json.load(sys.stdin)
    iface = job["iface"]
    expect = job.get("expect", 0)
    replies = []
    started = threading.Event()

    def is_reply(pkt):
        return UDP in pkt and pkt[UDP].dport == 1062

    # An L2Socket leaves out the frames this side sends itself.
    sniffer = AsyncSniffer(opened_socket=conf.L2socket(iface=iface), lfilter=is_reply, store=False,
                           prn=lambda pkt: replies.append(bytes(pkt)),
                           started_callback=started.set)
    sniffer.start()
    if not started.wait(5):
        sys.exit("sniffer did not start")

    frames = [bytes.fromhex(h) for h in job.get("frames", [])]
    if frames:
        sendp(frames, iface=iface)  # one socket for all, in order
    result = {}
    if job.get("run"):
        r = subprocess.run(job["run"], capture_output=True, text=True, timeout=job.get("timeout", 10) + 20)
        result.update(rc=r.returncode, stdout=r.stdout, stderr=r.stderr)

    deadline = time.monotonic() + job.get("timeout", 3.0)
    while len(replies) < expect and time.monotonic() < deadline:
        time.sleep(0.01)
    sniffer.stop()
    result["replies"] = [r.hex() for r in replies]
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
