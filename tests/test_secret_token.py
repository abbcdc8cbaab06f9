"""TokenEngine: token layout, claim text, signature, expiry and validation."""

import base64
import json
import re
import time

import pytest

from zorvane_road_objects.secret import TokenEngine

from _secret_ref import TOKEN_HEADER, naive_token, sign

NOW = 1_750_000_000.75  # a fixed wall-clock reading


class Text(str):
    pass


@pytest.fixture
def clock(monkeypatch):
    """Pins time.time to a settable reading."""
    reading = [NOW]
    monkeypatch.setattr(time, "time", lambda: reading[0])
    return reading


def split(token):
    header, payload, signature = token.split(".")
    return header, payload, signature


def claim_of(token):
    return base64.b64decode(split(token)[1], validate=True).decode("utf-8")


@pytest.mark.parametrize("user", ["abc", "", "a", "ab", "abcd", "user@example.com", "Ünïcödé ✓ \U0001f697"])
def test_layout_and_signature(clock, user):
    token = TokenEngine().generate_auth_token(user, "pw")
    assert isinstance(token, str) and token.count(".") == 2
    header, payload, signature = split(token)
    assert header == TOKEN_HEADER
    assert base64.b64decode(header) == b'{"alg":"HS256","typ":"JWT"}'
    assert re.fullmatch(r"[A-Za-z0-9+/]+={0,2}", payload) and len(payload) % 4 == 0
    assert re.fullmatch(r"[0-9a-f]{64}", signature)
    assert signature == sign(header, payload)
    assert claim_of(token) == '{"user":"' + user + '","exp":1750003600}'
    assert json.loads(claim_of(token)) == {"user": user, "exp": 1750003600}
    # Names without characters to escape give exactly the verbatim-claim token.
    assert token == naive_token(user, 1750003600)


def test_payload_padding_takes_all_forms(clock):
    endings = {split(TokenEngine().generate_auth_token("u" * n, None))[1].count("=")
               for n in range(3)}
    assert endings == {0, 1, 2}


def test_expiry_follows_the_real_clock():
    before = time.time()
    token = TokenEngine().generate_auth_token("abc", "pw")
    after = time.time()
    exp = json.loads(claim_of(token))["exp"]
    assert int(before + 3600) <= exp <= int(after + 3600)


@pytest.mark.parametrize("reading, exp", [(NOW, 1750003600), (1e9, 1000003600), (0.999, 3600),
                                          (-3600.5, 0), (-7200.5, -3600)])
def test_expiry_truncates(clock, reading, exp):
    clock[0] = reading
    assert json.loads(claim_of(TokenEngine().generate_auth_token("u", "p")))["exp"] == exp


def test_same_second_same_token_whatever_the_password(clock):
    a = TokenEngine().generate_auth_token("abc", "one")
    clock[0] = NOW + 0.2
    b = TokenEngine().generate_auth_token(username="abc", password="two")
    c = TokenEngine().generate_auth_token("abc", None)
    assert a == b == c
    clock[0] = NOW + 1
    d = TokenEngine().generate_auth_token("abc", "one")
    assert split(d)[0] == split(a)[0]
    assert split(d)[1] != split(a)[1] and split(d)[2] != split(a)[2]


def test_none_user_is_written_as_none(clock):
    token = TokenEngine().generate_auth_token(None, None)
    assert claim_of(token) == '{"user":"None","exp":1750003600}'
    assert token == TokenEngine().generate_auth_token("None", "x")


@pytest.mark.parametrize(
    "username, password",
    [("lone \ud800", "pw"), ("abc", "lone \udfff"), (None, "\ud83d")],
)
def test_unencodable_text_fails(clock, username, password):
    with pytest.raises(UnicodeEncodeError):
        TokenEngine().generate_auth_token(username, password)


def test_claim_injection_is_escaped(clock):
    attack = 'a","exp":99999999999,"x":"'
    token = TokenEngine().generate_auth_token(attack, "pw")
    claim = claim_of(token)
    assert claim == '{"user":"a\\",\\"exp\\":99999999999,\\"x\\":\\"","exp":1750003600}'
    assert json.loads(claim, object_pairs_hook=list) == [("user", attack), ("exp", 1750003600)]
    assert split(token)[2] == sign(*split(token)[:2])
    # The verbatim claim would have carried an attacker's expiry.
    naive = json.loads(claim_of(naive_token(attack, 1750003600)), object_pairs_hook=list)
    assert ("exp", 99999999999) in naive


@pytest.mark.parametrize(
    "user, body",
    [
        ('say "hi"', 'say \\"hi\\"'),
        ("back\\slash", "back\\\\slash"),
        ("\b\f\n\r\t", "\\b\\f\\n\\r\\t"),
        ("\x00\x01\x1f", "\\u0000\\u0001\\u001f"),
        ("\x7f\x80 é \u2028 \U0001f697", "\x7f\x80 é \u2028 \U0001f697"),  # left as they are
        ('ü"\x0b\\✓', 'ü\\"\\u000b\\\\✓'),
        ("\U0001f697\n", "\U0001f697\\n"),
    ],
)
def test_user_name_escaping(clock, user, body):
    token = TokenEngine().generate_auth_token(user, "pw")
    claim = claim_of(token)
    assert claim == '{"user":"' + body + '","exp":1750003600}'
    assert json.loads(claim)["user"] == user
    assert split(token)[2] == sign(*split(token)[:2])


@pytest.mark.parametrize("token", [None, "", "a.b.c", "x", "...", "ünïcödé", "\ud800"])
def test_validate_answers_false(token):
    assert TokenEngine().validate_auth_token(token) is False


def test_validate_refuses_own_token():
    engine = TokenEngine()
    assert engine.validate_auth_token(engine.generate_auth_token("abc", "pw")) is False


BAD = [(1, "int"), (b"x", "bytes"), (Text("x"), "Text"), (None.__class__, "type")]


@pytest.mark.parametrize("bad, got", BAD)
def test_argument_types(bad, got):
    engine = TokenEngine()
    cases = [
        (lambda: engine.generate_auth_token(bad, "p"), "username"),
        (lambda: engine.generate_auth_token("u", bad), "password"),
        (lambda: engine.generate_auth_token(bad, bad), "username"),
        (lambda: engine.generate_auth_token(password=bad, username="u"), "password"),
        (lambda: engine.validate_auth_token(bad), "token"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == (
            f"Argument '{name}' has incorrect type (expected str, got {got})")
