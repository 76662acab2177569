"""High-performance async file I/O for Python (C++ backend)"""
import os
from collections.abc import Sequence
from typing import Any, AnyStr, Generic, Literal, NoReturn, TypeAlias, overload

# Buffer (3.12) and Self (3.11) through typing_extensions, which the checkers bundle, so that the
# stub serves every supported version.
from typing_extensions import Buffer, Self

_Name: TypeAlias = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]

# The modes as checkers see them, as str or bytes: one of r, w, a with "b" and "+" each at most
# once, in any order. Repeating "b" or "+" is accepted at run time too, but such a mode, like any
# str not written as a literal, makes an AsyncFile[Any]. The install test checks these lists
# against every arrangement and against the constructor.
_TextMode: TypeAlias = Literal["r", "r+", "+r", "w", "w+", "+w", "a", "a+", "+a"]
_BinaryMode: TypeAlias = Literal[
    "rb", "br", "rb+", "r+b", "br+", "b+r", "+rb", "+br",
    "wb", "bw", "wb+", "w+b", "bw+", "b+w", "+wb", "+bw",
    "ab", "ba", "ab+", "a+b", "ba+", "b+a", "+ab", "+ba",
]
_TextModeBytes: TypeAlias = Literal[b"r", b"r+", b"+r", b"w", b"w+", b"+w", b"a", b"a+", b"+a"]
_BinaryModeBytes: TypeAlias = Literal[
    b"rb", b"br", b"rb+", b"r+b", b"br+", b"b+r", b"+rb", b"+br",
    b"wb", b"bw", b"wb+", b"w+b", b"bw+", b"b+w", b"+wb", b"+bw",
    b"ab", b"ba", b"ab+", b"a+b", b"ba+", b"b+a", b"+ab", b"+ba",
]

class AsyncFile(Generic[AnyStr]):
    """AsyncFile(filename, mode="r"): a buffered file object over C stdio, opened by open().

    filename is a str, bytes, bytearray or os.PathLike; mode is one of "r", "w", "a", with "b"
    and "+" in any order. Block reads (read, read1, readall) return bytes in "b" modes and str
    otherwise: AsyncFile[bytes] or AsyncFile[str]. Line reads and iteration return str in every
    mode. Before open() and after close(), the methods that need the file raise
    RuntimeError("File not open").

    Every call is synchronous: it does its work at once, on the calling thread, holding the
    interpreter lock, which no call releases (a call that waits blocks every Python thread). The
    async names (__aenter__, __aexit__, __aiter__, __anext__) return plain values, not
    awaitables: coroutines use `with` and `for`, and `async with`, `async for` and `await` on a
    result raise TypeError (on an empty file `async for` ends in RuntimeError instead).
    """

    @overload
    def __init__(self: AsyncFile[str], filename: _Name, mode: _TextMode | _TextModeBytes = "r") -> None:
        """Name the file and its mode, without touching the disk: open() opens it.

        A bad mode raises ValueError("Invalid file mode: ..."), a name of another type TypeError.
        """
    @overload
    def __init__(self: AsyncFile[bytes], filename: _Name, mode: _BinaryMode | _BinaryModeBytes) -> None: ...
    @overload
    def __init__(self: AsyncFile[Any], filename: _Name, mode: str | bytes) -> None: ...
    def __aenter__(self) -> Self:
        """Return self at once, not an awaitable: use `with`, not `async with`."""
    def __aexit__(self, arg0: object, arg1: object, arg2: object, /) -> None:
        """Close the file at once; not an awaitable."""
    def __enter__(self) -> Self:
        """Return self; the file is opened by open(), not here."""
    def __exit__(self, arg0: object, arg1: object, arg2: object, /) -> None:
        """Close the file; an exception from the block propagates."""
    def open(self) -> Self:
        """Open the file and return self; an open file is first written out and closed.

        A missing file or no permission raises ValueError("Failed to open file: PATH - REASON"),
        other failures (a directory) RuntimeError.
        """
    def close(self) -> None:
        """Write out pending bytes and close; closing again does nothing.

        If the write-out fails, RuntimeError("Failed to flush write buffer") is raised and the
        file stays open with the bytes pending (close() again retries).
        """
    def read(self, size: int | None = None) -> AnyStr:
        """Read up to size bytes, or to the end when size is None; b"" or "" at the end.

        Returns bytes in "b" modes, str otherwise (a text read that would end inside a character
        reads on to its end). A failed read raises RuntimeError("Read failed").
        """
    def readall(self) -> AnyStr:
        """Read to the end of the file: bytes in "b" modes, str otherwise."""
    def read1(self, size: int | None = None) -> AnyStr:
        """Read up to size bytes (256 KiB when None); from a pipe or terminal, what one read gives.

        Returns bytes in "b" modes, str otherwise.
        """
    def readinto(self, buffer: Buffer) -> int:
        """Read into a writable contiguous buffer, at most one byte per item; return the count.

        0 at the end of the file. Anything but a buffer raises TypeError.
        """
    def readline(self, size: int | None = None) -> str:
        """Read one line, with its newline, as str in every mode; at most size bytes if given.

        "" at the end of the file; a later call returns lines appended since. A line that is
        not UTF-8 raises UnicodeDecodeError and is not consumed: the next read returns it.
        """
    def readlines(self, hint: int | None = None) -> list[str]:
        """Read the remaining lines as a list of str, in every mode; the hint is not used.

        If a line is not UTF-8, UnicodeDecodeError is raised and no line is consumed.
        """
    def write(self, data: str | Buffer) -> int:
        """Write a str as UTF-8 or a buffer's bytes; return the number of bytes.

        They may wait in the write buffer until flush() or close(). A failed write-out raises
        RuntimeError("Failed to flush write buffer"); this data was then not taken.
        """
    def writelines(self, lines: Sequence[str | bytes | bytearray]) -> None:
        """Write each str, bytes or bytearray of a sequence, without adding separators.

        Every item is checked first: a generator or another type raises TypeError, writing nothing.
        """
    def seek(self, offset: int, whence: int = 0) -> int:
        """Move to offset from the start (whence=0), the position (1) or the end (2).

        Returns the new position. A negative target, a bad whence or a pipe raises
        RuntimeError("Seek failed").
        """
    def tell(self) -> int:
        """Return the position: after the last byte returned, counting pending writes.

        On a pipe, RuntimeError("Tell failed").
        """
    def flush(self) -> None:
        """Write out the write buffer.

        A failure raises RuntimeError("Flush failed"); what did not go out stays pending.
        """
    def truncate(self, size: int | None = None) -> None:
        """Cut or extend with zeros to size bytes, or to tell() when None; the position stays.

        A failure raises RuntimeError("Truncate failed").
        """
    def isatty(self) -> bool:
        """Return whether the file is a terminal."""
    def seekable(self) -> bool:
        """Return whether the file is open."""
    def writable(self) -> bool:
        """Return whether the mode writes ("w", "a" or "+")."""
    def __iter__(self) -> Self:
        """Return self: iteration yields lines as str."""
    def __next__(self) -> str:
        """Return the next line as str, in every mode; StopIteration at the end."""
    def __aiter__(self) -> Self:
        """Return self at once: use `for`, not `async for`."""
    def __anext__(self) -> str:
        """Return the next line as str at once, not an awaitable; StopIteration at the end."""
    @property
    def name(self) -> str:
        """The filename as passed; a bytes, bytearray or path-like name as os.fsdecode gives it."""
    @property
    def mode(self) -> str:
        """The mode exactly as passed."""
    def __reduce_ex__(self, protocol: object) -> NoReturn:
        """Raise TypeError: a file object cannot be pickled or copied, at any protocol."""
    def __reduce__(self) -> NoReturn:
        """Raise TypeError: a file object cannot be pickled or copied."""
