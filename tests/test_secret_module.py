"""The module `secret` itself: imports, public names, the native types' surface,
subclassing, garbage collection and reference counting."""

import ast
import gc
import sys
import weakref
from pathlib import Path

import pytest

import zorvane_road_objects.secret as secret
from zorvane_road_objects.secret import KeyVault, SecurityEngine, TokenEngine

from _secret_ref import run_python

CLASSES = [SecurityEngine, KeyVault, TokenEngine]
METHODS = {
    SecurityEngine: {"encrypt_sensitive_data", "decrypt_sensitive_data"},
    KeyVault: {"unlock_vault", "store_secret", "retrieve_secret"},
    TokenEngine: {"generate_auth_token", "validate_auth_token"},
}
IMPORTS = ["os", "struct", "hmac", "hashlib", "time", "base64", "cryptography.fernet"]


def test_imports_in_order():
    code = (
        "import builtins, json, zorvane_road_objects\n"
        f"for name in {IMPORTS!r}: __import__(name)\n"
        "seen = []\n"
        "real = builtins.__import__\n"
        "def recording(name, *args, **kwargs):\n"
        "    seen.append(name)\n"
        "    return real(name, *args, **kwargs)\n"
        "builtins.__import__ = recording\n"
        "import zorvane_road_objects.secret as s\n"
        "builtins.__import__ = real\n"
        "print(json.dumps([n for n in seen if n != 'zorvane_road_objects.secret']))\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(IMPORTS).replace("'", '"')


@pytest.mark.parametrize("missing", IMPORTS)
def test_failing_import_fails_the_module_then_recovers(missing):
    code = (
        "import sys\n"
        f"for name in {IMPORTS!r}: __import__(name)\n"
        f"saved = sys.modules[{missing!r}]\n"
        f"sys.modules[{missing!r}] = None\n"
        "try:\n"
        "    import zorvane_road_objects.secret\n"
        "except ImportError as exc:\n"
        "    print(type(exc).__name__, exc)\n"
        f"sys.modules[{missing!r}] = saved\n"
        f"__import__({missing!r})\n"
        "from zorvane_road_objects.secret import SecurityEngine\n"
        "e = SecurityEngine()\n"
        "print(e.decrypt_sensitive_data(e.encrypt_sensitive_data('ok')))\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first.startswith("ModuleNotFoundError") and missing in first
    assert second == "ok"


def test_public_names():
    assert secret.__all__ == ["SecurityEngine", "KeyVault", "TokenEngine"]
    names = list(vars(secret))
    assert [n for n in names if n in secret.__all__] == secret.__all__
    assert [n for n in names if n in {"os", "struct", "hmac", "hashlib", "time", "base64",
                                      "Fernet"}] == ["os", "struct", "hmac", "hashlib", "time",
                                                     "base64", "Fernet"]
    assert {n for n in dir(secret) if not n.startswith("__")} == {
        "os", "struct", "hmac", "hashlib", "time", "base64", "Fernet",
        "SecurityEngine", "KeyVault", "TokenEngine"}
    namespace = {}
    exec("from zorvane_road_objects.secret import *", namespace)
    assert sorted(n for n in namespace if n != "__builtins__") == sorted(secret.__all__)


def test_reimport_gives_the_same_classes():
    code = (
        "import sys\n"
        "import zorvane_road_objects.secret as a\n"
        "del sys.modules['zorvane_road_objects.secret']\n"
        "import zorvane_road_objects.secret as b\n"
        "print(a.SecurityEngine is b.SecurityEngine, a.TokenEngine is b.TokenEngine)\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "True"]


@pytest.mark.parametrize("cls", CLASSES)
def test_type_surface(cls):
    assert cls.__module__ == "zorvane_road_objects.secret"
    assert cls.__qualname__ == cls.__name__
    assert f"{cls.__module__}.{cls.__name__}" == "zorvane_road_objects.secret." + cls.__name__
    assert {n for n in dir(cls) if not n.startswith("__")} == METHODS[cls]
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    obj = cls()
    assert not hasattr(obj, "__dict__")
    for name in ("x", "locked", "master_key", "encryption_count"):
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type: methods cannot be replaced
    assert gc.is_tracked(obj)
    # The collector sees the type and nothing else: no key leaks through it.
    assert gc.get_referents(obj) == [cls]


@pytest.mark.parametrize(
    "name",
    ["master_key", "encryption_count", "_derive_master_key", "_rotate_keys", "locked",
     "master_key_seed", "token_signing_key", "earlier_keys"],
)
def test_internals_are_not_reachable(name):
    for obj in [secret, *CLASSES, *(cls() for cls in CLASSES)]:
        assert not hasattr(obj, name)


@pytest.mark.parametrize("cls", CLASSES)
def test_subclassing(cls):
    class Child(cls):
        def __init__(self, label):
            super().__init__()
            self.label = label

    class Bare(cls):  # does not call the base __init__
        def __init__(self):
            pass

    for obj in (Child("tag"), Bare()):
        assert isinstance(obj, cls)
        if cls is SecurityEngine:
            assert obj.decrypt_sensitive_data(obj.encrypt_sensitive_data("sub")) == "sub"
        elif cls is KeyVault:
            with pytest.raises(ValueError, match="Vault is locked"):
                obj.retrieve_secret(None)
        else:
            assert obj.validate_auth_token(obj.generate_auth_token("u", "p")) is False
    assert Child("tag").label == "tag"


@pytest.mark.parametrize("cls", CLASSES)
def test_cycles_through_subclass_instances_are_collected(cls):
    class Child(cls):
        pass

    obj = Child()
    obj.me = obj
    if cls is SecurityEngine:
        obj.token = obj.encrypt_sensitive_data("cycle")
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def exercise(engine, vault, tokens, i):
    token = engine.encrypt_sensitive_data(f"payload {i}")
    assert engine.decrypt_sensitive_data(token) == f"payload {i}"
    assert engine.decrypt_sensitive_data(b"garbage") is None
    assert engine.decrypt_sensitive_data(None) is None
    for bad in (None, "\ud800"):
        try:
            engine.encrypt_sensitive_data(bad)
        except (AttributeError, UnicodeEncodeError):
            pass
    try:
        vault.store_secret("k", 1)
    except TypeError:
        pass
    try:
        vault.store_secret(key="k", value="v")
    except ValueError:
        pass
    try:
        vault.retrieve_secret("k")
    except ValueError:
        pass
    try:
        vault.unlock_vault(None)
    except AttributeError:
        pass
    tokens.validate_auth_token(tokens.generate_auth_token(f"user {i}", None))
    tokens.generate_auth_token(username='a"\n', password="p")
    try:
        tokens.generate_auth_token("u", b"p")
    except TypeError:
        pass


def test_no_reference_growth():
    engine, vault, tokens = SecurityEngine(), KeyVault(), TokenEngine()
    for i in range(500):
        exercise(engine, vault, tokens, i)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for i in range(5000):
        exercise(engine, vault, tokens, i)
    for _ in range(50):
        SecurityEngine(), KeyVault(), TokenEngine()
    gc.collect()
    # Leaking even one object per call would add 5000 blocks or more.
    assert sys.getallocatedblocks() - blocks < 200


def test_type_stub_matches_module():
    stub = Path(secret.__file__).with_name("secret.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert list(classes) == secret.__all__
    for cls in CLASSES:
        methods = {node.name for node in classes[cls.__name__].body
                   if isinstance(node, ast.FunctionDef)}
        assert methods - {"__init__"} == METHODS[cls]
    all_node = next(node for node in tree.body if isinstance(node, ast.Assign)
                    and node.targets[0].id == "__all__")
    assert ast.literal_eval(all_node.value) == secret.__all__
