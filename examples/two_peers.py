"""Two peers exchange a few MiB in both directions over loopback TCP.

Each peer holds one CProtection: the accepting side with flip_direction
False, the connecting side with True, both keyed with the same key list.
Every write is encrypted by its sender and decrypted by its receiver, and
each side checks what it decrypts against what the other side sent.

    python examples/two_peers.py [--mebibytes N] [--seed S]
"""

import argparse
import asyncio
import json
import random
import sys
import time

from kovrin.modules.security.cprotection import CProtection


def make_payload(rng: random.Random, size: int) -> bytes:
    return rng.randbytes(size)


def random_cuts(rng: random.Random, size: int) -> list[int]:
    """Lengths of randomly sized writes that add up to `size`."""
    cuts = []
    while size > 0:
        piece = min(size, rng.randint(1, 64 * 1024))
        cuts.append(piece)
        size -= piece
    return cuts


async def send_all(writer: asyncio.StreamWriter, cipher: CProtection, payload: bytes,
                   rng: random.Random) -> int:
    writes = 0
    offset = 0
    for length in random_cuts(rng, len(payload)):
        writer.write(cipher.encrypt(bytearray(payload[offset:offset + length])))
        await writer.drain()
        offset += length
        writes += 1
    writer.write_eof()
    return writes


async def receive_all(reader: asyncio.StreamReader, cipher: CProtection,
                      expected: bytes) -> int | None:
    """Decrypts until end of stream; returns the first mismatching offset."""
    received = bytearray()
    while chunk := await reader.read(64 * 1024):
        received += cipher.decrypt(bytearray(chunk))
    if received == expected:
        return None
    for offset, (got, want) in enumerate(zip(received, expected)):
        if got != want:
            return offset
    return min(len(received), len(expected))


async def run_peer(
    reader: asyncio.StreamReader, writer: asyncio.StreamWriter, cipher: CProtection,
    outgoing: bytes, incoming: bytes, rng: random.Random,
) -> tuple[int, int | None]:
    sent_writes, mismatch = await asyncio.gather(
        send_all(writer, cipher, outgoing, rng),
        receive_all(reader, cipher, incoming),
    )
    writer.close()
    await writer.wait_closed()
    return sent_writes, mismatch


async def main(mebibytes: float, seed: int) -> int:
    rng = random.Random(seed)
    size = int(mebibytes * 1024 * 1024)
    keys = [rng.randint(-2**31, 2**31 - 1) for _ in range(rng.randint(1, 16))]
    server_to_client = make_payload(rng, size)
    client_to_server = make_payload(rng, size)
    loop = asyncio.get_running_loop()
    server_result: asyncio.Future[tuple[int, int | None]] = loop.create_future()

    async def accept(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        # The demo sends the key list in the clear as its first line. That is
        # this demo's choice only: the cipher itself does no key exchange.
        writer.write(json.dumps(keys).encode() + b"\n")
        cipher = CProtection(False)
        cipher.activate(keys)
        server_result.set_result(await run_peer(
            reader, writer, cipher, server_to_client, client_to_server, random.Random(seed + 1)))

    server = await asyncio.start_server(accept, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    started = time.perf_counter()

    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    client_cipher = CProtection(True)
    client_cipher.activate(json.loads(await reader.readline()))
    client_writes, client_mismatch = await run_peer(
        reader, writer, client_cipher, client_to_server, server_to_client, random.Random(seed + 2))
    server_writes, server_mismatch = await server_result
    elapsed = time.perf_counter() - started
    server.close()
    await server.wait_closed()

    print(f"client -> server: {size} bytes in {client_writes} writes")
    print(f"server -> client: {size} bytes in {server_writes} writes")
    print(f"both directions:  {2 * size / elapsed / 1e6:.1f} MB/s over loopback")
    failures = [(name, offset) for name, offset in
                (("server", server_mismatch), ("client", client_mismatch)) if offset is not None]
    for name, offset in failures:
        print(f"{name} decrypted wrong data from offset {offset}")
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mebibytes", type=float, default=4.0)
    parser.add_argument("--seed", type=int, default=random.randrange(2**32))
    args = parser.parse_args()
    sys.exit(asyncio.run(main(args.mebibytes, args.seed)))
