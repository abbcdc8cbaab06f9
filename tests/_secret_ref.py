"""Independent reference computations for the tests of the security toolkit.

Everything here is written from the documented algorithms with the standard
library and ``cryptography`` only; the tests compare the native module against it.
"""

import base64
import hashlib
import hmac
import os
import struct
import subprocess
import sys
from pathlib import Path

from cryptography.fernet import Fernet

import zorvane_road_objects

# Fixed constants of the module: changing either breaks every stored token.
MASTER_KEY_SEED = "Zorvane-RoadObjects/SecKey#29"
TOKEN_SIGNING_KEY = b"zv-token-sign-key-20"

TOKEN_HEADER = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9"


def derive_master_key(seed=MASTER_KEY_SEED):
    text = seed
    for i in range(100):
        text = hashlib.sha512(text.encode("utf-8")).hexdigest()
        if i % 10 == 0:
            text = base64.b64encode(text.encode("utf-8")).decode("ascii")
    return text[:32].encode("utf-8")


DERIVED_KEY = derive_master_key()


def rotated_key(random_bytes, old_key):
    return hashlib.sha256(random_bytes + old_key).digest()


def fernet_for(key):
    return Fernet(base64.urlsafe_b64encode(key[:32]))


def open_token(key, token):
    """(count, text bytes) inside an engine token made under `key`."""
    plain = fernet_for(key).decrypt(token)
    return struct.unpack("I", plain[:4])[0], plain[4:]


def sign(header, payload):
    msg = (header + "." + payload).encode("utf-8")
    return hmac.new(TOKEN_SIGNING_KEY, msg, hashlib.sha256).hexdigest()


def naive_token(user, exp):
    """A token built with the user name inserted verbatim into the claim."""
    claim = '{"user":"' + user + '","exp":' + str(exp) + "}"
    payload = base64.b64encode(claim.encode("utf-8")).decode("ascii")
    return TOKEN_HEADER + "." + payload + "." + sign(TOKEN_HEADER, payload)


class KeySource:
    """Stand-in random source for rotations: distinct, known 32-byte blocks."""

    def __init__(self, fail_at=()):
        self.calls = []
        self.fail_at = set(fail_at)

    def __call__(self, n):
        self.calls.append(n)
        if len(self.calls) in self.fail_at:
            raise OSError("random source unavailable")
        return bytes([len(self.calls)]) * n

    def block(self, i):
        return bytes([i]) * 32


def run_python(code, timeout=60):
    """Run `code` in a fresh interpreter that imports this same package."""
    env = dict(os.environ)
    root = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env)
