"""Argument-count and keyword errors of the native callables.

Each call raises TypeError with the exact message (where CPython's own
one-argument message applies, only the type is checked), and has no effect:
nothing is downloaded, the vault does not sleep, the engine counts no
encryption.
"""

from __future__ import annotations

import time

import pytest

from zorvane_road_objects.secret import KeyVault, SecurityEngine, TokenEngine
from zorvane_road_objects.zorvane_robj_p import download_robj_model

from _secret_ref import DERIVED_KEY, open_token

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")


def at_least(n, given):
    return f"__init__() takes at least {n} positional argument ({given} given)"


def at_most(n, given, name="__init__"):
    return f"{name}() takes at most {n} positional arguments ({given} given)"


def exactly(name, n, given):
    s = "" if n == 1 else "s"
    return f"{name}() takes exactly {n} positional argument{s} ({given} given)"


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def twice(name, keyword):
    return f"{name}() got multiple values for keyword argument '{keyword}'"


# (call on the objects of `natives`, exact message or None)
CASES = {
    # The detector engine.
    "engine-none": (lambda o: zd.zv_robj_d(), at_least(1, 0)),
    "engine-six": (lambda o: zd.zv_robj_d(*[b"x"] * 6), at_most(5, 6)),
    "engine-unknown": (lambda o: zd.zv_robj_d(b"x", providers=[]), unexpected("__init__", "providers")),
    "engine-twice": (lambda o: zd.zv_robj_d(b"x", model_path_byte=b"y"),
                     twice("__init__", "model_path_byte")),
    "engine-keyword-only": (lambda o: zd.zv_robj_d(conf_thres=0.3), at_least(1, 0)),
    "engine-six-threads": (lambda o: zd.zv_robj_d(*[b"x"] * 6, threads=2), at_most(5, 6)),
    "engine-threads-only": (lambda o: zd.zv_robj_d(threads=2), at_least(1, 0)),
    "engine-thread": (lambda o: zd.zv_robj_d(b"x", thread=2), unexpected("__init__", "thread")),
    # The detector facade (before any download).
    "facade-none": (lambda o: zd.zv_road_object_detector(), at_least(1, 0)),
    "facade-five": (lambda o: zd.zv_road_object_detector("a", "b", 1, 2, 3), at_most(4, 5)),
    "facade-unknown": (lambda o: zd.zv_road_object_detector("a", model="b"), unexpected("__init__", "model")),
    "facade-twice": (lambda o: zd.zv_road_object_detector("a", model_name="b"),
                     twice("__init__", "model_name")),
    "facade-keyword-only": (lambda o: zd.zv_road_object_detector(backend="cpu"), at_least(1, 0)),
    "facade-five-threads": (lambda o: zd.zv_road_object_detector(*["x"] * 5, threads=2), at_most(4, 5)),
    # SuppressStderr.__exit__.
    "exit-one": (lambda o: o.block.__exit__(None), exactly("__exit__", 3, 1)),
    "exit-unknown": (lambda o: o.block.__exit__(None, None, tb=None), unexpected("__exit__", "tb")),
    # Model provisioning.
    "download-none": (lambda o: download_robj_model(), exactly("download_robj_model", 1, 0)),
    "download-two": (lambda o: download_robj_model("a", "b"), exactly("download_robj_model", 1, 2)),
    "download-unknown": (lambda o: download_robj_model(name="a"), unexpected("download_robj_model", "name")),
    "download-twice": (lambda o: download_robj_model("a", model_name="a"),
                       twice("download_robj_model", "model_name")),
    # SecurityEngine.
    "encrypt-none": (lambda o: o.engine.encrypt_sensitive_data(), None),
    "encrypt-two": (lambda o: o.engine.encrypt_sensitive_data("a", "b"), None),
    "encrypt-keyword": (lambda o: o.engine.encrypt_sensitive_data(data="a"), None),
    "decrypt-none": (lambda o: o.engine.decrypt_sensitive_data(), None),
    "decrypt-two": (lambda o: o.engine.decrypt_sensitive_data(b"t", b"u"), None),
    "decrypt-keyword": (lambda o: o.engine.decrypt_sensitive_data(encrypted_data=b"t"), None),
    "security-one": (lambda o: SecurityEngine("seed"), exactly("__init__", 0, 1)),
    "security-unknown": (lambda o: SecurityEngine(master_key=b"k"), unexpected("__init__", "master_key")),
    "security-reinit-two": (lambda o: o.engine.__init__(1, 2), exactly("__init__", 0, 2)),
    # TokenEngine.
    "token-one": (lambda o: o.tokens.generate_auth_token("u"), exactly("generate_auth_token", 2, 1)),
    "token-three": (lambda o: o.tokens.generate_auth_token("u", "p", "x"),
                    exactly("generate_auth_token", 2, 3)),
    "token-twice": (lambda o: o.tokens.generate_auth_token("u", username="v"),
                    twice("generate_auth_token", "username")),
    "token-unknown": (lambda o: o.tokens.generate_auth_token("u", "p", ttl=1),
                      unexpected("generate_auth_token", "ttl")),
    "validate-none": (lambda o: o.tokens.validate_auth_token(), None),
    "validate-keyword": (lambda o: o.tokens.validate_auth_token(token="t"), None),
    "tokens-one": (lambda o: TokenEngine("key"), exactly("__init__", 0, 1)),
    # KeyVault.
    "store-one": (lambda o: o.vault.store_secret("k"), exactly("store_secret", 2, 1)),
    "store-none": (lambda o: o.vault.store_secret(), exactly("store_secret", 2, 0)),
    "store-three": (lambda o: o.vault.store_secret("k", "v", "x"), exactly("store_secret", 2, 3)),
    "store-keyword-only": (lambda o: o.vault.store_secret(value="v"), exactly("store_secret", 2, 0)),
    "store-twice": (lambda o: o.vault.store_secret("k", key="k"), twice("store_secret", "key")),
    "store-unknown": (lambda o: o.vault.store_secret("k", "v", other=1), unexpected("store_secret", "other")),
    "unlock-none": (lambda o: o.vault.unlock_vault(), None),
    "unlock-two": (lambda o: o.vault.unlock_vault("a", "b"), None),
    "unlock-keyword": (lambda o: o.vault.unlock_vault(master_password="a"), None),
    "retrieve-keyword": (lambda o: o.vault.retrieve_secret(key="k"), None),
    "vault-one": (lambda o: KeyVault(1), exactly("__init__", 0, 1)),
    "vault-unknown": (lambda o: KeyVault(locked=False), unexpected("__init__", "locked")),
}


class Natives:
    """Fresh objects to call, and records of what a call must not do."""

    def __init__(self, monkeypatch):
        self.downloads = []
        self.sleeps = []
        sleep = time.sleep
        monkeypatch.setattr(zd, "download_robj_model", lambda *a, **k: self.downloads.append((a, k)))
        monkeypatch.setattr(time, "sleep", lambda seconds: (self.sleeps.append(seconds), sleep(seconds)))
        self.block = zd.SuppressStderr()
        self.engine = SecurityEngine()
        self.tokens = TokenEngine()
        self.vault = KeyVault()


@pytest.mark.parametrize("case", list(CASES))
def test_argument_count_and_keyword_errors(case, monkeypatch):
    call, message = CASES[case]
    natives = Natives(monkeypatch)
    with pytest.raises(TypeError) as info:
        call(natives)
    if message is not None:
        assert str(info.value) == message
    assert natives.downloads == [] and natives.sleeps == []
    # Argument errors are not encryption calls: the count did not move.
    assert open_token(DERIVED_KEY, natives.engine.encrypt_sensitive_data("x"))[0] == 1
