"""Type information for kovrin.modules.security.cprotection."""

from collections.abc import Callable
from types import CapsuleType
from typing import ClassVar, TypeAlias, overload

from typing_extensions import disjoint_base

# The module-level restore function, as named in a reduce value.
_Restore: TypeAlias = Callable[
    [type[CProtection], int, tuple[object, ...] | None], CProtection
]
# Direct form: (restore, (cls, checksum, state)).
# Deferred form: (restore, (cls, checksum, None), state + (instance dict,)).
_ReduceValue: TypeAlias = (
    tuple[_Restore, tuple[type[CProtection], int, tuple[object, ...]]]
    | tuple[_Restore, tuple[type[CProtection], int, None], tuple[object, ...]]
)

# Doctest hook; always empty.
__test__: dict[str, object]

# Instances have a fixed native layout: no __dict__, no weak references.
@disjoint_base
class CProtection:
    """Stateful byte-stream cipher for one of two peers."""

    # Native method table (activate, decrypt, encrypt) for compiled callers.
    __pyx_vtable__: ClassVar[CapsuleType]

    def __init__(self, flip_direction: object = False) -> None: ...
    def activate(self, keys: list[int]) -> None: ...
    # Only an object of exactly type bytearray, or None, is accepted; before
    # activate() the argument itself is returned.
    @overload
    def encrypt(self, raw_data: bytearray) -> bytearray: ...
    @overload
    def encrypt(self, raw_data: None) -> None: ...
    @overload
    def decrypt(self, encrypted_data: bytearray) -> bytearray: ...
    @overload
    def decrypt(self, encrypted_data: None) -> None: ...

    # Pickling.  The state tuple holds, in this order: active, base,
    # decryption_index, decryption_vector, encryption_index,
    # encryption_vector, flip_direction (and optionally the instance dict).
    # Parameters named with a leading double underscore are typed as
    # positional-only; the runtime also accepts them by keyword.
    def __reduce_cython__(self) -> _ReduceValue: ...
    def __setstate_cython__(self, __pyx_state: tuple[object, ...]) -> None: ...
    def __reduce__(self) -> _ReduceValue: ...
    def __setstate__(self, __pyx_state: tuple[object, ...]) -> None: ...

def __pyx_unpickle_CProtection(
    __pyx_type: type[CProtection],
    __pyx_checksum: int,
    __pyx_state: tuple[object, ...] | None,
) -> CProtection: ...
