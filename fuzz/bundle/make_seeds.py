#!/usr/bin/env python3
"""Writes the bundle fuzzer's hostile seeds: bodies that cost the most to decode and convert, each just within
or just beyond what the decoder accepts. The small ones go into seeds/ beside this script; with --large DIR,
bodies as large as the transport's 8 MiB cap go into DIR (fuzz/run writes them into its build tree at each
run rather than into the repository)."""

import json
import pathlib
import sys

BODY_CAP = 8 << 20
CLASS_REPETITION = r"[\p{L}\p{N}]{1000}N"


def signature(i, **members):
    return {"id": f"s{i}", "brand": "b", "displayName": "d", **members}


def bundle(signatures=(), **members):
    return {"version": 1, **members, "signatures": list(signatures)}


def many(count, pattern):
    """count copies of a pattern, 64 to a signature."""
    return bundle(signature(i, namePatterns=[pattern] * min(64, count - i * 64)) for i in range((count + 63) // 64))


def small():
    at_limits = bundle(
        [signature(0, displayName="d" * 1024, namePatterns=["a" * 1024] + [f"x{k}" for k in range(63)],
                   companyIds=list(range(64)), serviceUuids=[f"{k:08x}-0000-1000-8000-00805F9B34FB" for k in range(64)])],
        exclusionPatterns=[f"e{k}" for k in range(64)])
    beyond = json.loads(json.dumps(at_limits))
    beyond["exclusionPatterns"].append("e64")
    return {
        "repetition-20.json": bundle([signature(0, namePatterns=[CLASS_REPETITION] * 20)]),
        "repetition-2000.json": bundle(signature(i, namePatterns=[CLASS_REPETITION] * 50) for i in range(40)),
        "lists-at-limits.json": at_limits,
        "lists-beyond-limits.json": beyond,
        "unicode-classes.json": many(64, r"\PL" * 340),
        "counted-repetitions.json": many(64, "a{1000}" * 145),
        "failing-programs.json": many(61, "[a-z]{1000}"),
    }


def fill(prefix, items, suffix):
    """prefix, then as many comma-separated items as keep the text within the cap, then suffix."""
    parts, size = [prefix], len(prefix) + len(suffix)
    for item in items:
        if size + len(item) + 1 > BODY_CAP:
            break
        parts.append(("," if len(parts) > 1 else "") + item)
        size += len(item) + 1
    parts.append(suffix)
    return "".join(parts)


def large():
    def counting(make):
        k = 0
        while True:
            yield make(k)
            k += 1

    one = '{"version": 1, "signatures": [{"id": "s", "brand": "b", "displayName": "d", '
    return {
        "exclusions-xN.json": fill('{"version": 1, "exclusionPatterns": [', counting(lambda k: f'"x{k}"'), "]}"),
        "signatures.json": fill('{"version": 1, "signatures": [',
                                counting(lambda k: f'{{"id": "s{k}", "brand": "b", "displayName": "d"}}'), "]}"),
        "company-ids.json": fill(one + '"companyIds": [', counting(str), "]}]}"),
        "service-uuids.json": fill(one + '"serviceUuids": [',
                                   counting(lambda k: f'"{k:08x}-0000-1000-8000-00805F9B34FB"'), "]}]}"),
        "one-pattern.json": one + '"namePatterns": ["' + "a" * (BODY_CAP - len(one) - 24) + '"]}]}',
    }


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--large":
        directory, seeds = pathlib.Path(sys.argv[2]), large()
    else:
        directory, seeds = pathlib.Path(__file__).resolve().parent / "seeds", small()
    directory.mkdir(parents=True, exist_ok=True)
    for name, body in seeds.items():
        text = body if isinstance(body, str) else json.dumps(body, separators=(",", ":"))
        assert len(text.encode()) <= BODY_CAP, name
        (directory / name).write_text(text)


if __name__ == "__main__":
    main()
