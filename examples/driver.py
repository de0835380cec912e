#!/usr/bin/env python3
"""Drives vornex-port from Python with its client package (standard library only, Python 3.8+).

Install: pip install ./clients/python     (offline: add --no-build-isolation)
Run:     python3 examples/driver.py [path/to/vornex-port] [port name]
The tool is the path given, else $VORNEX_PORT_BINARY, else vornex-port on PATH."""
import sys

import vornex_port

binary = sys.argv[1] if len(sys.argv) > 1 else None
name = sys.argv[2] if len(sys.argv) > 2 else "driver.example"
try:
    with vornex_port.Port([name], binary=binary) as port:  # waits for "ready"
        print("lookup %s: %s" % (name, "true" if port.lookup(name) else "false"))
        print("send to %s: %d" % (name, port.send(name, b"hello")))  # a Status: 0 is SUCCESS
        message = port.next_message(timeout=10)  # kept since it arrived, before send returned
        print("message on %s: %s" % (message.port, message.data.decode()))
        print("send to nobody: %d" % port.send(name + ".nobody", b"?"))  # -99, NOT_REGISTERED
    # Leaving the block closed the tool's input: every answer due came first, then it ended.
    print("exit status %d" % port.returncode)
except vornex_port.StartError as error:  # a bad command line (64), a taken name (65) ...
    sys.exit(str(error))
