#!/usr/bin/env python3
"""Flattens a Wycheproof ECDSA test file for the verifier tests.

Usage: wycheproof_to_tsv.py JSON OUT.tsv
Writes one line per group, "key<TAB>group<TAB>publicKeyDer hex", and one per
vector, "vec<TAB>group<TAB>tcId<TAB>result<TAB>flags<TAB>msg hex<TAB>sig hex".
If JSON does not exist, writes nothing and says so (the tests then skip).
"""
import json
import os
import sys

src, dst = sys.argv[1], sys.argv[2]
if not os.path.exists(src):
    print(f"Wycheproof vectors not found at {src}: the tests that use them will skip")
    if os.path.exists(dst):
        os.remove(dst)
    sys.exit(0)
with open(src) as f:
    data = json.load(f)
tmp = dst + ".tmp"
with open(tmp, "w") as out:
    for index, group in enumerate(data["testGroups"]):
        out.write(f"key\t{index}\t{group['publicKeyDer']}\n")
        for test in group["tests"]:
            flags = ",".join(test["flags"]) or "-"
            out.write(f"vec\t{index}\t{test['tcId']}\t{test['result']}\t{flags}\t{test['msg']}\t{test['sig']}\n")
os.replace(tmp, dst)
