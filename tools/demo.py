#!/usr/bin/env python3
"""Drives two vornex-port processes and passes one message between them,
printing every JSON line that goes in or comes out."""
import base64
import json
import os
import subprocess
import sys

tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bin", "vornex-port")
suffix = str(os.getpid())
alpha_name, beta_name = "demo.alpha." + suffix, "demo.beta." + suffix


def start(label, *names):
    proc = subprocess.Popen([tool, "listen", *names], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.label = label
    return proc


def send(proc, command):
    line = json.dumps(command)
    print(f"{proc.label} <- {line}")
    proc.stdin.write(line + "\n")
    proc.stdin.flush()


def receive(proc):
    line = proc.stdout.readline().rstrip("\n")
    print(f"{proc.label} -> {line}")
    return json.loads(line)


alpha = start("alpha", alpha_name)
beta = start("beta ", beta_name)
receive(alpha)
receive(beta)

send(beta, {"cmd": "lookup", "target": alpha_name, "id": 1})
receive(beta)
send(beta, {"cmd": "send", "target": alpha_name, "id": 2,
            "data": base64.b64encode(b"hello from beta").decode()})
message = receive(alpha)
receive(beta)
print(f"alpha received: {base64.b64decode(message['data']).decode()!r} on port {message['port']}")

send(beta, {"cmd": "send", "target": "demo.nobody", "id": 3})
receive(beta)
for proc in (alpha, beta):
    send(proc, {"cmd": "quit"})
    proc.stdin.close()
    print(f"{proc.label} exited with status {proc.wait()}")
