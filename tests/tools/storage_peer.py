#!/usr/bin/env python3
# A storage system written apart from the agent's code, from the README's protocol section only:
# handshake (version 17 or 16), one job of TYPE with a JSON body, the result's JSON on stdout.
# Usage: storage_peer.py --host H --port P [--key K] [--version 17|16] TYPE JSON
import argparse, hashlib, hmac, json, os, socket, struct, sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

BEGIN, END, MAX_LENGTH = 0xFEDCBA98, 0x76543210, 8792
SALT = b"N(|WF~lOta#,u!c}"


def fail(message):
    sys.exit(f"storage_peer: {message}")


def recv_exact(sock, n, step):
    data = b""
    while len(data) < n:
        data += sock.recv(n - len(data)) or fail(f"the agent closed the connection, no {step}")
    return data


def ecb(op, region, length):  # only the blocks holding body bytes are encrypted, the tail after them is plain
    cut = -(-length // 16) * 16
    return op.update(region[:cut]) + region[cut:]


def send_frame(sock, version, mtype, body, aes=None):
    region = body + struct.pack("<I8xI", 0, END)
    if aes and body:  # body and tail padded to 16
        region = ecb(aes.encryptor(), region + bytes(-len(region) % 16), len(body))
    sock.sendall(struct.pack("<5I12x", BEGIN, version, mtype, len(body), 0) + region)


def recv_frame(sock, step, aes=None):
    tag, _, mtype, length, status = struct.unpack("<5I12x", recv_exact(sock, 32, step))
    if tag != BEGIN or length > MAX_LENGTH:
        fail(f"bad frame header: tag {tag:#x}, length {length}")
    crypted = bool(aes and length)
    region = recv_exact(sock, length + 16 + (-(length + 16) % 16 if crypted else 0), step)
    if crypted:
        region = ecb(aes.decryptor(), region, length)
    if struct.unpack_from("<I", region, length + 12)[0] != END:
        fail("bad frame tail")
    return mtype, status, region[:length]


def handshake(sock, psk, version):
    """Answers the agent's challenge; returns the connection's cipher, None for a plain one."""
    shared = hashlib.pbkdf2_hmac("sha256", psk.encode(), SALT, 50000, 31) + b"\0"
    verify_key = hashlib.sha256(shared.split(b"\0")[0]).digest()
    mtype, _, challenge = recv_frame(sock, "challenge")
    if mtype != 2000 or len(challenge) <= 43:
        fail(f"expected a challenge (2000), got {mtype} of {len(challenge)} bytes")
    aes = None
    if version >= 17:
        material = os.urandom(64)
        public = serialization.load_der_public_key(challenge[43:])  # PKCS #1 RSAPublicKey
        answer = hmac.digest(verify_key, challenge[:43], "sha256")
        answer += public.encrypt(material, padding.PKCS1v15())
        aes = Cipher(algorithms.AES(material[:32]), modes.ECB())
    else:
        answer = hmac.digest(verify_key, challenge, "sha256")
    send_frame(sock, version, 2001, answer)
    mtype, status, body = recv_frame(sock, "handshake result (wrong key?)")
    if (mtype, status, body) != (2001, 100, b""):
        fail(f"handshake answered {mtype}/{status} with {len(body)} bytes")
    return aes


def main():
    p = argparse.ArgumentParser(description="Sends one job to the agent as a storage system.")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--key", default="Default-PreShared-Key!Replace-At-Install")
    p.add_argument("--version", type=int, choices=(16, 17), default=17)
    p.add_argument("type", type=int)
    p.add_argument("json")
    a = p.parse_args()
    try:
        with socket.create_connection((a.host, a.port), timeout=30) as sock:
            aes = handshake(sock, a.key, a.version)
            send_frame(sock, a.version, a.type, a.json.encode() + b"\0", aes)
            _, status, body = recv_frame(sock, "job answer", aes)
        if status != 100:
            fail(f"job answered ReturnStatus {status}")
        text = body.rstrip(b"\0").decode()
        json.loads(text)  # the answer must be JSON, not merely bytes
        print(text)
    except (OSError, ValueError) as e:
        fail(e)


main()
