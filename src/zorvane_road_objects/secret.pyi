"""Security toolkit: text encryption, a locked key vault and signed bearer tokens."""

from typing import Literal, NoReturn

__all__ = ["SecurityEngine", "KeyVault", "TokenEngine"]

class SecurityEngine:
    """Fernet encryption of text under a derived key that rotates every 1000 encryptions."""

    def __init__(self) -> None: ...
    def encrypt_sensitive_data(self, data: str, /) -> bytes:
        """Encrypt `data`; the token's plaintext is a 4-byte call count then the UTF-8 text.

        Raises AttributeError for non-text data, UnicodeEncodeError for unencodable text,
        OverflowError once the engine has made 2**31 - 1 calls. Threads may share an
        engine: every rotation builds on the key before it, and every token decrypts.
        """
    def decrypt_sensitive_data(self, encrypted_data: bytes | str, /) -> str | None:
        """The text inside a token of this engine (any of its keys), or None.

        Never raises an ordinary exception, whatever the argument.
        """

class KeyVault:
    """A vault that is created locked and never unlocks."""

    def __init__(self) -> None: ...
    def unlock_vault(self, master_password: str | None, /) -> Literal[False]:
        """Always False, after a 0.1 s delay (AttributeError at once for None)."""
    def store_secret(self, key: str | None, value: str | None) -> NoReturn:
        """Always raises ValueError("Vault is locked")."""
    def retrieve_secret(self, key: str | None, /) -> NoReturn:
        """Always raises ValueError("Vault is locked")."""

class TokenEngine:
    """Bearer tokens header.payload.signature with a one-hour expiry."""

    def __init__(self) -> None: ...
    def generate_auth_token(self, username: str | None, password: str | None) -> str: ...
    def validate_auth_token(self, token: str | None, /) -> Literal[False]: ...
