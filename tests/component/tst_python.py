"""The Python module against the built library: its numbers are the header's,
every number has its text, and cancel ends a running execute from another thread."""
import os
import re
import socket
import sys
import tempfile
import threading
import unittest

import qorchat

HEADER = os.environ["QORCHAT_HEADER"]


def header_constants():
    with open(HEADER, encoding="utf-8") as f:
        text = f.read()
    found = {name: int(value) for name, value in re.findall(r"\bQORCHAT_(\w+)\s*=\s*(\d+)", text)}
    found["ADDRESS_MAX"] = int(re.search(r"#define QORCHAT_ADDRESS_MAX (\d+)", text).group(1))
    return found


class Numbers(unittest.TestCase):
    def test_module_has_the_headers_numbers(self):
        expected = header_constants()
        ours = {n: getattr(qorchat, n) for n in dir(qorchat) if re.fullmatch(r"(OK|E_\w+|OUTCOME_\w+|ADDRESS_MAX)", n)}
        self.assertEqual(ours, expected)

    def test_every_number_has_its_own_text(self):
        for prefix, text_of, unknown in (("E_", qorchat.result_string, "unknown result"),
                                         ("OUTCOME_", qorchat.outcome_string, "unknown outcome")):
            codes = {v for n, v in header_constants().items()
                     if n.startswith(prefix) or (prefix == "E_" and n == "OK")}
            texts = [text_of(c) for c in sorted(codes)]
            self.assertNotIn(unknown, texts)
            self.assertEqual(len(set(texts)), len(texts), texts)
            for c in (-1, max(codes) + 1, 2**31 - 1):
                self.assertEqual(text_of(c), unknown)
        self.assertEqual(qorchat.outcome_string(qorchat.OUTCOME_USER_LEFT), "user left")


class Cancel(unittest.TestCase):
    def test_nothing_running(self):
        self.assertEqual(qorchat.cancel(), qorchat.E_NOT_RUNNING)

    def test_cancel_from_another_thread(self):
        # A server that takes the connection and never greets: the sign-in waits
        # for it for ever, until the game asks the lobby to go.
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        server.settimeout(60)
        self.assertEqual(qorchat.set_server("127.0.0.1", server.getsockname()[1]), qorchat.OK)
        outcome = {}

        def game_side():
            connection, _ = server.accept()
            outcome["cancel"] = qorchat.cancel()
            connection.settimeout(60)
            outcome["after"] = connection.recv(1)  # b"": the lobby hung up
            connection.close()

        thread = threading.Thread(target=game_side)
        thread.start()
        result, address = qorchat.execute("DemoGame")
        thread.join()
        server.close()
        self.assertEqual(result, qorchat.OK)
        self.assertEqual(outcome["cancel"], qorchat.OK)
        self.assertEqual(outcome["after"], b"")
        self.assertEqual(qorchat.last_outcome(), qorchat.OUTCOME_USER_LEFT)
        self.assertEqual(address, "")
        self.assertEqual(qorchat.cancel(), qorchat.E_NOT_RUNNING)


if __name__ == "__main__":
    # The settings the lobby reads are this test's own.
    config = tempfile.TemporaryDirectory()
    os.environ["XDG_CONFIG_HOME"] = config.name
    os.environ.pop("QORCHAT_SERVER", None)
    unittest.main(argv=sys.argv[:1], verbosity=2)
