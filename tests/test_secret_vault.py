"""KeyVault: argument checks, the unlock delay, the refusals."""

import time

import pytest

from zorvane_road_objects.secret import KeyVault


class Text(str):
    pass


def type_error(name, got):
    return f"Argument '{name}' has incorrect type (expected str, got {got})"


@pytest.fixture
def sleeps(monkeypatch):
    """Records the delays asked of time.sleep, which still sleeps."""
    calls = []
    real = time.sleep

    def recording(seconds):
        calls.append(seconds)
        real(seconds)

    monkeypatch.setattr(time, "sleep", recording)
    return calls


@pytest.mark.parametrize("password", ["", "correct horse", "ünïcödé ✓"])
def test_unlock_fails_after_delay_and_vault_stays_locked(sleeps, password):
    vault = KeyVault()
    start = time.monotonic()
    assert vault.unlock_vault(password) is False
    assert time.monotonic() - start >= 0.1
    assert sleeps == [0.1]
    with pytest.raises(ValueError) as info:
        vault.store_secret("name", "value")
    assert info.value.args == ("Vault is locked",)


@pytest.mark.parametrize(
    "password, error",
    [(None, AttributeError), ("lone \udc80", UnicodeEncodeError)],
    ids=["None", "surrogate"],
)
def test_unlock_with_unencodable_password_fails_before_delay(sleeps, password, error):
    vault = KeyVault()
    with pytest.raises(error):
        vault.unlock_vault(password)
    assert sleeps == []
    with pytest.raises(ValueError, match="^Vault is locked$"):
        vault.retrieve_secret("name")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("k", "v"), {}),
        ((None, None), {}),
        (("k",), {"value": None}),
        ((), {"key": "k", "value": "v"}),
        ((), {"value": "v", "key": None}),
    ],
)
def test_store_is_refused(args, kwargs):
    vault = KeyVault()
    for _ in range(2):  # the refusal leaves the vault as it was
        with pytest.raises(ValueError) as info:
            vault.store_secret(*args, **kwargs)
        assert type(info.value) is ValueError
        assert info.value.args == ("Vault is locked",)
        assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("key", ["k", None, ""])
def test_retrieve_is_refused(key):
    with pytest.raises(ValueError) as info:
        KeyVault().retrieve_secret(key)
    assert info.value.args == ("Vault is locked",)


BAD = [(1, "int"), (b"k", "bytes"), (Text("k"), "Text"), (1.5, "float"), ([], "list")]


@pytest.mark.parametrize("bad, got", BAD)
def test_argument_types(sleeps, bad, got):
    vault = KeyVault()
    cases = [
        (lambda: vault.unlock_vault(bad), "master_password"),
        (lambda: vault.store_secret(bad, "v"), "key"),
        (lambda: vault.store_secret("k", bad), "value"),
        (lambda: vault.store_secret(bad, bad), "key"),
        (lambda: vault.store_secret(key=bad, value=None), "key"),
        (lambda: vault.store_secret(value=bad, key=None), "value"),
        (lambda: vault.retrieve_secret(bad), "key"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == type_error(name, got)
    assert sleeps == []
