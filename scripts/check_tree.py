#!/usr/bin/env python3
"""Checks the shape of the source tree; prints every finding and exits 1
when there is one.

- Layers: each folder includes only from itself and the layers below it
  (src -> smartcard -> platform; pkcs11 -> smartcard; asn1 -> digest).
- No include circle between two modules of src/ (a module is a header with
  its source file).
- No function of the library longer than MAX_FUNCTION_LINES lines, the
  unrolled rounds of the digest compression functions aside.
- Each exported class is implemented in the folder of its subsystem.

Usage: scripts/check_tree.py [REPOSITORY]
"""
import os
import re
import sys

MAX_FUNCTION_LINES = 80

# Folder -> the top folders it may include from (besides exported headers).
LAYERS = {
    "src": {"src", "smartcard", "platform", "asn1", "digest"},
    "smartcard": {"smartcard", "platform", "asn1", "digest"},
    "pkcs11": {"pkcs11", "smartcard", "platform", "asn1", "digest"},
    "platform": {"platform"},
    "asn1": {"asn1", "digest"},
    "digest": {"digest"},
}

# Kept long on purpose: the unrolled rounds are what makes them fast.
LONG_BY_DESIGN = {
    "Ripemd160Compress", "Ripemd128Compress", "Sha1Portable", "Sha256Portable", "Sha512Portable",
    "Sha512Vector", "Sha1Extensions", "Sha256Extensions",
}

# Exported class -> the source file that implements it.
EXPORTED_CLASSES = {
    "CKivoCryptoSLL": "src/frame/KivoCryptoSLL.cpp",
    "CHashSSL": "src/crypto/HashSSL.cpp",
    "CRsa": "src/crypto/Rsa.cpp",
    "CPKCS7SSL": "src/container/PKCS7SSL.cpp",
    "CCms": "src/container/CmsSSL.cpp",
    "CCmsDataContent": "src/container/CmsDataContentSSL.cpp",
    "CSignMessage": "src/signing/SignMessageSSLM.cpp",
    "CTimeStampSSL": "src/signing/TimeStampSSL.cpp",
    "CCertInfo": "src/cert/CertInfoSSL.cpp",
    "CCertHandler": "src/cert/CertHandlerSSL.cpp",
    "CExtensionSSL": "src/cert/render/ExtensionSSL.cpp",
    "CRestrictionSSL": "src/cert/render/RestrictionSSL.cpp",
    "CCrlSSL": "src/revocation/CrlSSL.cpp",
    "CVerifyMsg": "src/verify/VerifyMsg.cpp",
    "CSCUtils": "src/card/SCMutils.cpp",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
NOT_A_FUNCTION = re.compile(r"(namespace|class|struct|enum|union|extern|template|typedef|using)\b|.*=\s*\{$|.*\bstruct\b")


def sources(root, folder):
    for path, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                full = os.path.join(path, name)
                yield os.path.relpath(full, root), open(full, encoding="utf-8").read()


def layer_findings(root):
    for folder, allowed in LAYERS.items():
        for path, text in sources(root, folder):
            for target in INCLUDE.findall(text):
                top = target.split("/", 1)[0]
                if "/" in target and top in LAYERS and top not in allowed:
                    yield f"{path}: includes {target} from a layer above {folder}/"


def cycle_findings(root):
    graph = {}
    for path, text in sources(root, "src"):
        module = path.rsplit(".", 1)[0]
        for target in INCLUDE.findall(text):
            if target.startswith("src/") and target.rsplit(".", 1)[0] != module:
                graph.setdefault(module, set()).add(target.rsplit(".", 1)[0])
    # Tarjan's strongly connected components.
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for node in sorted(graph):
        if node not in index:
            visit(node)
    for component in found:
        yield "include circle: " + " -> ".join(component)


def function_findings(root):
    """Top-level definitions (signature starting in the first column, body
    closed by a '}' in the first column) longer than the limit."""
    for folder in LAYERS:
        for path, text in sources(root, folder):
            lines = text.split("\n")
            i = 0
            while i < len(lines):
                line = lines[i]
                if (not line or line[0].isspace() or line.startswith(("//", "#", "}")) or
                        line.rstrip().endswith(":") or NOT_A_FUNCTION.match(line)):
                    i += 1
                    continue
                # The signature may run over several lines up to the "{".
                end = i
                while end < len(lines) and end < i + 8 and not lines[end].rstrip().endswith(("{", ";", "}")):
                    end += 1
                if end >= len(lines) or not lines[end].rstrip().endswith("{") or "(" not in " ".join(lines[i:end + 1]):
                    i = end + 1
                    continue
                close = end + 1
                while close < len(lines) and not lines[close].startswith("}"):
                    close += 1
                length = close - i + 1
                signature = re.sub(r"__attribute__\(\(.*?\)\)", "", " ".join(lines[i:end + 1]))
                name = re.search(r"([A-Za-z_][A-Za-z0-9_:~]*)\s*\(", signature)
                short = name.group(1).split("::")[-1] if name else "?"
                if length > MAX_FUNCTION_LINES and short not in LONG_BY_DESIGN:
                    yield f"{path}:{i + 1}: {short} has {length} lines (at most {MAX_FUNCTION_LINES})"
                i = close + 1


def class_findings(root):
    for name, path in EXPORTED_CLASSES.items():
        if not os.path.isfile(os.path.join(root, path)):
            yield f"{name}: expected in {path}"


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    findings = [*layer_findings(root), *cycle_findings(root), *function_findings(root), *class_findings(root)]
    for finding in findings:
        print(finding)
    print(f"tree check: {len(findings)} finding(s)")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
