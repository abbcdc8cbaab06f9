"""SecurityEngine: derived key, Fernet tokens with the count, key rotation."""

import base64
import hashlib
import os
import sys
import threading
import time

import pytest
from cryptography.fernet import Fernet

from zorvane_road_objects.secret import SecurityEngine

from _secret_ref import DERIVED_KEY, KeySource, fernet_for, open_token, rotated_key, run_python


def encrypt_many(engine, n, start=1):
    return [engine.encrypt_sensitive_data(f"message {i}") for i in range(start, start + n)]


@pytest.fixture
def key_source(monkeypatch):
    source = KeySource()
    monkeypatch.setattr(os, "urandom", source)
    return source


# ---------------------------------------------------------------------------
# Tokens and their plaintext


def test_first_tokens_carry_count_under_derived_key():
    engine = SecurityEngine()
    for expected in (1, 2, 3):
        token = engine.encrypt_sensitive_data("héllo wörld ✓")
        assert isinstance(token, bytes)
        count, raw = open_token(DERIVED_KEY, token)
        assert count == expected
        assert raw == "héllo wörld ✓".encode("utf-8")
    plain = fernet_for(DERIVED_KEY).decrypt(SecurityEngine().encrypt_sensitive_data("x"))
    assert plain[:4] == b"\x01\x00\x00\x00"


def test_equal_inputs_give_different_tokens():
    engine = SecurityEngine()
    a, b = engine.encrypt_sensitive_data("same"), engine.encrypt_sensitive_data("same")
    assert a != b
    assert engine.decrypt_sensitive_data(a) == engine.decrypt_sensitive_data(b) == "same"


@pytest.mark.parametrize("text", ["", "plain", "ünïcödé", "\U0001f697 car", "a\x00b", "x" * 10000])
def test_round_trip_between_fresh_engines(text):
    token = SecurityEngine().encrypt_sensitive_data(text)
    assert SecurityEngine().decrypt_sensitive_data(token) == text
    assert SecurityEngine().decrypt_sensitive_data(token.decode("ascii")) == text


def test_empty_text_token_is_just_the_count():
    token = SecurityEngine().encrypt_sensitive_data("")
    assert fernet_for(DERIVED_KEY).decrypt(token) == b"\x01\x00\x00\x00"
    assert SecurityEngine().decrypt_sensitive_data(token) == ""


def test_cross_process_tokens():
    mine = SecurityEngine().encrypt_sensitive_data("from parent")
    code = (
        "import sys\n"
        "from zorvane_road_objects.secret import SecurityEngine\n"
        f"print(SecurityEngine().decrypt_sensitive_data({mine!r}))\n"
        "print(SecurityEngine().encrypt_sensitive_data('from child ✓').decode())\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    decrypted, theirs = proc.stdout.splitlines()
    assert decrypted == "from parent"
    assert SecurityEngine().decrypt_sensitive_data(theirs) == "from child ✓"


@pytest.mark.parametrize(
    "plaintext, expected",
    [
        (b"", ""),
        (b"ab", ""),
        (b"\x07\x00\x00\x00", ""),
        (b"\xff\xff\xff\xffok", "ok"),
        (b"\x01\x00\x00\x00\xff\xfe", None),  # not UTF-8 after the count
        (b"\x01\x00\x00\x00\xed\xa0\x80", None),  # encoded surrogate: strict refuses
    ],
)
def test_foreign_tokens_under_the_derived_key(plaintext, expected):
    token = fernet_for(DERIVED_KEY).encrypt(plaintext)
    assert SecurityEngine().decrypt_sensitive_data(token) == expected


def tamper(token):
    raw = bytearray(base64.urlsafe_b64decode(token))
    raw[-40] ^= 1
    return base64.urlsafe_b64encode(bytes(raw))


@pytest.mark.parametrize(
    "value",
    [
        None,
        12345,
        3.5,
        b"",
        "",
        b"not a token",
        "gAAAAA",
        os.urandom(100),
        object(),
        ["list"],
        "ünïcödé",
    ],
    ids=repr,
)
def test_decrypt_of_non_tokens_gives_none(value):
    assert SecurityEngine().decrypt_sensitive_data(value) is None


def test_tampered_and_foreign_key_tokens_give_none():
    engine = SecurityEngine()
    token = engine.encrypt_sensitive_data("secret")
    assert engine.decrypt_sensitive_data(tamper(token)) is None
    assert engine.decrypt_sensitive_data(token[:-8]) is None
    other = Fernet(Fernet.generate_key()).encrypt(b"\x01\x00\x00\x00secret")
    assert engine.decrypt_sensitive_data(other) is None


@pytest.mark.parametrize("error", [ValueError, OSError, MemoryError])
def test_decrypt_swallows_ordinary_errors(monkeypatch, error):
    token = SecurityEngine().encrypt_sensitive_data("x")
    engine = SecurityEngine()

    def broken(_):
        raise error("boom")

    monkeypatch.setattr(base64, "urlsafe_b64encode", broken)
    assert engine.decrypt_sensitive_data(token) is None


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_decrypt_lets_interrupts_through(monkeypatch, error):
    token = SecurityEngine().encrypt_sensitive_data("x")
    engine = SecurityEngine()

    def interrupted(_):
        raise error()

    monkeypatch.setattr(base64, "urlsafe_b64encode", interrupted)
    with pytest.raises(error):
        engine.decrypt_sensitive_data(token)


# ---------------------------------------------------------------------------
# Failed calls


@pytest.mark.parametrize(
    "data, error",
    [(None, AttributeError), (b"bytes", AttributeError), (42, AttributeError),
     ("lone \ud800 surrogate", UnicodeEncodeError)],
    ids=["None", "bytes", "int", "surrogate"],
)
def test_failed_calls_raise_and_still_count(key_source, data, error):
    engine = SecurityEngine()
    with pytest.raises(error):
        engine.encrypt_sensitive_data(data)
    assert open_token(DERIVED_KEY, engine.encrypt_sensitive_data("next")) == (2, b"next")

    engine = SecurityEngine()
    encrypt_many(engine, 998)
    with pytest.raises(error):
        engine.encrypt_sensitive_data(data)  # call 999
    assert key_source.calls == []
    token = engine.encrypt_sensitive_data("thousandth")  # call 1000 rotates first
    assert key_source.calls == [32]
    new_key = rotated_key(key_source.block(1), DERIVED_KEY)
    assert fernet_for(new_key).decrypt(token) == b"\xe8\x03\x00\x00thousandth"


def test_str_subclass_data_is_encrypted():
    class Text(str):
        pass

    engine = SecurityEngine()
    assert engine.decrypt_sensitive_data(engine.encrypt_sensitive_data(Text("sub"))) == "sub"


# ---------------------------------------------------------------------------
# Key rotation


def test_rotation_at_1000_and_2000_keeps_earlier_tokens(key_source):
    engine = SecurityEngine()
    tokens = [None] + encrypt_many(engine, 2001)  # tokens[i] is call i
    assert key_source.calls == [32, 32]
    k1 = rotated_key(key_source.block(1), DERIVED_KEY)
    k2 = rotated_key(key_source.block(2), k1)

    # Each token under the key of its era, with its own count.
    for i, key in [(1, DERIVED_KEY), (999, DERIVED_KEY), (1000, k1), (1999, k1),
                   (2000, k2), (2001, k2)]:
        assert open_token(key, tokens[i]) == (i, f"message {i}".encode())
        assert engine.decrypt_sensitive_data(tokens[i]) == f"message {i}"
    assert open_token(k1, tokens[1000])[0].to_bytes(4, "little") == b"\xe8\x03\x00\x00"

    # Other fresh engines read only what was made before the first rotation.
    fresh = SecurityEngine()
    assert fresh.decrypt_sensitive_data(tokens[1]) == "message 1"
    assert fresh.decrypt_sensitive_data(tokens[999]) == "message 999"
    for i in (1000, 1500, 2000, 2001):
        assert fresh.decrypt_sensitive_data(tokens[i]) is None

    # Tokens of all eras, from all keys, still decrypt in the rotated engine.
    assert all(engine.decrypt_sensitive_data(tokens[i]) == f"message {i}"
               for i in range(1, 2002, 37))
    stranger = Fernet(Fernet.generate_key()).encrypt(b"\x01\x00\x00\x00x")
    assert engine.decrypt_sensitive_data(stranger) is None


def test_decryption_tries_current_key_then_earlier_newest_first(key_source, monkeypatch):
    engine = SecurityEngine()
    tokens = [None] + encrypt_many(engine, 2000)
    k1 = rotated_key(key_source.block(1), DERIVED_KEY)
    k2 = rotated_key(key_source.block(2), k1)

    tried = []
    real = base64.urlsafe_b64encode

    def recording(key):
        tried.append(bytes(key))
        return real(key)

    monkeypatch.setattr(base64, "urlsafe_b64encode", recording)
    assert engine.decrypt_sensitive_data(tokens[2000]) == "message 2000"
    assert tried == [k2]
    tried.clear()
    assert engine.decrypt_sensitive_data(tokens[5]) == "message 5"
    assert tried == [k2, k1, DERIVED_KEY]
    tried.clear()
    assert engine.decrypt_sensitive_data(b"garbage") is None
    assert tried == [k2, k1, DERIVED_KEY]


def test_rotation_failure_keeps_key_and_count(monkeypatch):
    source = KeySource(fail_at={1})
    monkeypatch.setattr(os, "urandom", source)
    engine = SecurityEngine()
    encrypt_many(engine, 999)
    with pytest.raises(OSError, match="random source unavailable"):
        engine.encrypt_sensitive_data("thousandth")
    # Key unchanged, count advanced: call 1001 is under the derived key.
    assert open_token(DERIVED_KEY, engine.encrypt_sensitive_data("after")) == (1001, b"after")
    encrypt_many(engine, 998)  # calls 1002 .. 1999
    assert source.calls == [32]
    token = engine.encrypt_sensitive_data("two thousandth")
    assert source.calls == [32, 32]
    new_key = rotated_key(source.block(2), DERIVED_KEY)
    assert open_token(new_key, token) == (2000, b"two thousandth")


def test_repeated_init_resets_nothing(key_source):
    engine = SecurityEngine()
    encrypt_many(engine, 1000)
    engine.__init__()
    token = engine.encrypt_sensitive_data("later")
    k1 = rotated_key(key_source.block(1), DERIVED_KEY)
    assert open_token(k1, token) == (1001, b"later")


# ---------------------------------------------------------------------------
# Threads sharing one engine


@pytest.fixture
def long_time_slice():
    """A longer time slice lets the other threads run further while a
    rotating thread waits to get the interpreter back."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.02)
    yield
    sys.setswitchinterval(old)


def test_threads_sharing_an_engine_lose_no_token(monkeypatch, long_time_slice):
    """8 threads encrypt at once while 2 others decrypt what was just made."""
    real = os.urandom
    rotations = []

    def slow(n):
        rotations.append(n)
        time.sleep(0.005)  # a source that blocks a while, as one short of entropy may
        return real(n)

    monkeypatch.setattr(os, "urandom", slow)
    engine = SecurityEngine()
    writers, calls = 8, 1500
    made = [[] for _ in range(writers)]
    failures = []
    done = threading.Event()

    def write(k):
        for i in range(calls):
            made[k].append(engine.encrypt_sensitive_data(f"{k}:{i}"))

    def read():
        while not done.is_set():
            for k in range(writers):
                if made[k]:
                    i = len(made[k]) - 1
                    if engine.decrypt_sensitive_data(made[k][i]) != f"{k}:{i}":
                        failures.append((k, i))

    threads = [threading.Thread(target=write, args=(k,)) for k in range(writers)]
    readers = [threading.Thread(target=read) for _ in range(2)]
    for t in threads + readers:
        t.start()
    for t in threads:
        t.join(120)
    done.set()
    for t in readers:
        t.join(120)
    assert len(rotations) == writers * calls // 1000
    lost = [(k, i) for k in range(writers) for i, token in enumerate(made[k])
            if engine.decrypt_sensitive_data(token) != f"{k}:{i}"]
    assert lost == [] and failures == []


@pytest.mark.parametrize("stall", ["random source", "hashing"])
def test_rotation_overtaken_while_it_waits(monkeypatch, stall):
    """Call 1000 stalls inside its rotation while another thread reaches
    call 2000 and rotates: both rotations must end up in the key history."""
    source = KeySource()
    waiting, resume = threading.Event(), threading.Event()
    real_sha256 = hashlib.sha256

    def stalled(call):
        def first_waits(*args):
            if not waiting.is_set():
                waiting.set()
                resume.wait(30)
            return call(*args)
        return first_waits

    if stall == "random source":
        monkeypatch.setattr(os, "urandom", stalled(source))
    else:
        monkeypatch.setattr(os, "urandom", source)
        monkeypatch.setattr(hashlib, "sha256", stalled(real_sha256))
    engine = SecurityEngine()
    tokens = encrypt_many(engine, 999)
    late = []
    first = threading.Thread(target=lambda: late.append(engine.encrypt_sensitive_data("1000")))
    first.start()
    assert waiting.wait(30)
    tokens += encrypt_many(engine, 1005, start=1001)  # calls 1001 .. 2005, rotating at 2000
    resume.set()
    first.join(30)
    tokens += encrypt_many(engine, 5, start=2006)
    assert source.calls == [32, 32]
    # The rotation of call 2000 went in first; that of call 1000 builds on it.
    mine, theirs = (2, 1) if stall == "random source" else (1, 2)
    k2 = rotated_key(source.block(theirs), DERIVED_KEY)
    k1 = rotated_key(source.block(mine), k2)
    assert open_token(k1, late[0]) == (1000, b"1000")
    assert open_token(k2, tokens[-10]) == (2001, b"message 2001")
    assert engine.decrypt_sensitive_data(late[0]) == "1000"
    texts = [f"message {i}" for i in range(1, 1000)] + [f"message {i}" for i in range(1001, 2011)]
    assert [engine.decrypt_sensitive_data(t) for t in tokens] == texts
