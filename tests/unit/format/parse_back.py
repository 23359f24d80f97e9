#!/usr/bin/python3
"""Reads a document that a writer of tools/format wrote, with Python's own
parser, and prints every string in it as hex UTF-8, one per line, in
document order.  Usage: parse_back.py json|xml|csv FILE"""
import csv
import json
import sys
import xml.etree.ElementTree as ET


def out(s):
    print(s.encode("utf-8", "surrogatepass").hex())


kind, path = sys.argv[1], sys.argv[2]
if kind == "json":
    with open(path, "rb") as f:
        doc = json.loads(f.read().decode("utf-8"), object_pairs_hook=list)
    for k, v in doc:
        out(k)
        out(v)
elif kind == "xml":
    for suite in ET.parse(path).getroot():
        out(suite.get("name"))
        for p in suite.find("properties"):
            out(p.get("name"))
            out(p.get("value"))
        for case in suite.findall("testcase"):
            out(case.get("name"))
            fail = case.find("failure")
            out(fail.get("message"))
            out(fail.text or "")
elif kind == "csv":
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.reader(f):
            for cell in row:
                out(cell)
else:
    sys.exit("unknown kind " + kind)
