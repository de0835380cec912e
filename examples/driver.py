#!/usr/bin/env python3
"""A vornex-port driver to copy (Python 3, standard library only): starts the tool, waits
for "ready", sends commands with ids, matches the answers to them and stops cleanly.
Usage: python3 examples/driver.py [path/to/vornex-port] [port name]"""
import base64, itertools, json, queue, subprocess, sys, threading


class VornexPort:
    def __init__(self, binary, *names, timeout=10.0):
        self.proc = subprocess.Popen([binary, "listen", *names],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.ids, self.lock = itertools.count(1), threading.Lock()
        self.waiting = {}              # id -> queue that gets its answer (None: the tool ended)
        self.messages = queue.Queue()  # "message" events, as they arrive
        self.others = queue.Queue()    # "ready" and "error" events; None once output ends
        # Read all the time, not only after a write: a tool whose output nobody reads stalls.
        threading.Thread(target=self._read, daemon=True).start()
        first = self.others.get(timeout=timeout)  # raises queue.Empty when no "ready" comes
        if not first or first["event"] != "ready":
            raise RuntimeError(f"{first and first['message']} (exit status {self.stop(timeout)})")

    def _read(self):
        for line in self.proc.stdout:
            event = json.loads(line)
            if event["event"] in ("lookup", "sent"):
                answer = self.waiting.pop(event["id"], None)
                if answer:  # else an answer that came after its time-out
                    answer.put(event)
            else:
                (self.messages if event["event"] == "message" else self.others).put(event)
        with self.lock:
            for answer in self.waiting.values():
                answer.put(None)
            self.waiting.clear()
        self.others.put(None)

    def request(self, command, wait):
        """The answer to one command; TimeoutError when none comes within `wait` seconds."""
        answer = queue.Queue(1)
        with self.lock:  # one whole line at a time, also from several threads
            id = next(self.ids)
            self.waiting[id] = answer
            self.proc.stdin.write((json.dumps(dict(command, id=id)) + "\n").encode())
            self.proc.stdin.flush()
        try:
            event = answer.get(timeout=wait)
        except queue.Empty:
            self.waiting.pop(id, None)
            raise TimeoutError(f"no answer to {command!r} within {wait} s") from None
        if event is None:
            raise ConnectionError(f"vornex-port ended (exit status {self.proc.wait()})")
        return event

    def send(self, target, data, timeout=5.0):
        # The tool tries to queue for up to `timeout`, then waits as long again for the reply
        # from the queueing; a send held behind a shorter one begins later (docs/protocol.md, Order).
        text = base64.b64encode(data).decode()
        command = {"cmd": "send", "target": target, "data": text, "timeout": timeout}
        return self.request(command, 2 * timeout + 5)["status"]

    def stop(self, wait=10.0):
        """Closes standard input: the tool writes every answer due, then ends."""
        self.proc.stdin.close()
        try:
            return self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()

if __name__ == "__main__":
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/bin/vornex-port"
    name = sys.argv[2] if len(sys.argv) > 2 else "driver.example"
    tool = VornexPort(binary, name)
    found = tool.request({"cmd": "lookup", "target": name}, 10)["found"]
    print(f"lookup {name}: {json.dumps(found)}")
    print(f"send to {name}: {tool.send(name, b'hello')}")
    message = tool.messages.get(timeout=10)
    print(f"message on {message['port']}: {base64.b64decode(message['data']).decode()}")
    print(f"send to nobody: {tool.send(name + '.nobody', b'?')}")
    print(f"exit status {tool.stop()}")
