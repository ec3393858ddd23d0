#!/usr/bin/python3
"""fuzz/make_dictionaries.py OUT_DIR: writes the libFuzzer dictionaries of the
fuzz targets from the sources, so they follow the code:

- layer.dict: the words of the layer sources (layer types, attribute keys and
  the names their values take) as JSON strings, and the limits of the integer
  types the sizes are read into as JSON numbers;
- model_run.dict: those words and the keys of the model description
  (the model folder's creation sources) as MessagePack strings, and the same
  limits as MessagePack integers: the form the description is stored in.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORD = re.compile(r'"([A-Za-z_][A-Za-z0-9_]{0,62})"')
LIMITS = [-2**63, -2**31, -1, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**64 - 1]


def words(*folders):
    found = set()
    for folder in folders:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in (".cpp", ".h"):
                found.update(WORD.findall(path.read_text(encoding="utf-8")))
    return sorted(found)


def entry(data):
    """One dictionary line: the bytes as a quoted string, escaped."""
    text = "".join("\\" + chr(b) if chr(b) in '\\"' else chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02X}" for b in data)
    return f'"{text}"\n'


def msgpack(word):
    data = word.encode()
    head = bytes([0xA0 | len(data)]) if len(data) < 32 else bytes([0xD9, len(data)])
    return head + data


def msgpack_int(n):
    if n < 0:
        return b"\xd3" + n.to_bytes(8, "big", signed=True)
    return b"\xcf" + n.to_bytes(8, "big")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_dictionaries.py OUT_DIR")
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    layer = words("runtime/layers")
    description = sorted(set(layer) | set(words("runtime/model/src/model/create", "runtime/model/include")))
    (out / "layer.dict").write_text("".join(entry(f'"{w}"'.encode()) for w in layer) +
                                    "".join(entry(str(n).encode()) for n in LIMITS))
    (out / "model_run.dict").write_text("".join(entry(msgpack(w)) for w in description) +
                                        "".join(entry(msgpack_int(n)) for n in LIMITS))


if __name__ == "__main__":
    main()
