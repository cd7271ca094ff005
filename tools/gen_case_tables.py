#!/usr/bin/env python3
"""Writes the case tables of keelbox's text module (case_tables_data.cpp) from
Unicode's data files, as Debian's package unicode-data installs them:

    gen_case_tables.py --data-dir /usr/share/unicode --out case_tables_data.cpp

Tables written (see src/keelbox/text/case_tables.hpp for their layout):
- the properties Cased, Case_Ignorable (DerivedCoreProperties.txt) and
  White_Space (PropList.txt), as the code points where their combination
  changes;
- the full upper-case, lower-case and title-case mappings without locale or
  context conditions: runs of code points sharing one offset to their simple
  mapping (UnicodeData.txt), and the few mappings to other text than the
  simple one (the unconditional lines of SpecialCasing.txt).
"""
import argparse
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
KINDS = ("lower", "title", "upper")  # the column order of SpecialCasing.txt
PROPERTY_BITS = {"Cased": 1, "Case_Ignorable": 2, "White_Space": 4}
MAX_RUN_SPAN = 255  # a run's last - first fits 8 bits
MAX_SPECIAL_LENGTH = 3


def data_lines(path):
    """The fields of each data line of a UCD file, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_point_range(text):
    first, _, last = text.partition("..")
    return int(first, 16), int(last or first, 16)


def unicode_version(path):
    with open(path, encoding="utf-8") as f:
        match = re.match(r"# DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", f.readline())
    if not match:
        sys.exit(f"gen_case_tables: no Unicode version in the first line of {path}")
    return match.group(1)


def property_bits(data_dir):
    bits = {}
    for name, wanted in (("DerivedCoreProperties.txt", ("Cased", "Case_Ignorable")),
                         ("PropList.txt", ("White_Space",))):
        for fields in data_lines(os.path.join(data_dir, name)):
            if fields[1] in wanted:
                first, last = code_point_range(fields[0])
                for c in range(first, last + 1):
                    bits[c] = bits.get(c, 0) | PROPERTY_BITS[fields[1]]
    return bits


def property_boundaries(bits):
    """(code point, bits) where the bits change, from 0 on."""
    out = []
    current = None
    for c in range(MAX_CODE_POINT + 1):
        value = bits.get(c, 0)
        if value != current:
            out.append((c, value))
            current = value
    return out


def simple_mappings(data_dir):
    """kind -> {code point: mapped code point} for every code point that maps
    to another, and the general category of every listed code point."""
    simple = {kind: {} for kind in KINDS}
    category = {}
    for fields in data_lines(os.path.join(data_dir, "UnicodeData.txt")):
        c = int(fields[0], 16)
        category[c] = fields[2]
        upper, lower, title = (int(f, 16) if f else None for f in fields[12:15])
        if title is None:
            title = upper  # an empty titlecase field means the uppercase mapping
        for kind, mapped in (("lower", lower), ("title", title), ("upper", upper)):
            if mapped is not None and mapped != c:
                simple[kind][c] = mapped
    return simple, category


def special_mappings(data_dir):
    """kind -> {code point: tuple of code points}, unconditional lines only."""
    special = {kind: {} for kind in KINDS}
    for fields in data_lines(os.path.join(data_dir, "SpecialCasing.txt")):
        if len(fields) > 4 and fields[4]:
            continue  # a condition (final sigma, a language)
        c = int(fields[0], 16)
        for kind, text in zip(KINDS, fields[1:4]):
            special[kind][c] = tuple(int(x, 16) for x in text.split())
    return special


def starts_words(category):
    return category[0] in "LNS" or category == "Co"


def full_mappings(simple, special, category):
    """kind -> (runs, extra): runs of (first, last, stride, delta) where every
    stride-th code point from first to last maps to itself + delta, and extra
    {code point: tuple} where the full mapping is not the simple one."""
    out = {}
    for kind in KINDS:
        mapping = dict(simple[kind])
        extra = {}
        for c, text in special[kind].items():
            if len(text) == 1:
                if text[0] == c:
                    mapping.pop(c, None)
                else:
                    mapping[c] = text[0]
            else:
                extra[c] = text
        if kind == "title":
            # Title-casing starts a word at its first letter, number, symbol
            # or private-use character, as ICU does: anything else that is
            # cased (the combining mark U+0345) keeps its form at the start
            # of a run.
            for table in (mapping, extra):
                for c in [c for c in table if not starts_words(category.get(c, "Cn"))]:
                    del table[c]
        runs = []
        for c in sorted(mapping):
            delta = mapping[c] - c
            if runs:
                first, last, stride, run_delta = runs[-1]
                step = c - last
                # Runs do not interleave: a step of 2 skips a code point
                # that maps to nothing.
                if (run_delta == delta and c - first <= MAX_RUN_SPAN
                        and (step == stride or (stride == 0 and step in (1, 2)))
                        and (step == 1 or c - 1 not in mapping)):
                    runs[-1] = (first, c, step, delta)
                    continue
            runs.append((c, c, 0, delta))
        for c, text in extra.items():
            if not 0 < len(text) <= MAX_SPECIAL_LENGTH:
                sys.exit(f"gen_case_tables: the {kind} mapping of U+{c:04X} is empty or longer than {MAX_SPECIAL_LENGTH}")
        out[kind] = ([(f, l, s or 1, d) for f, l, s, d in runs], extra)
    return out


def wrap(items, per_line):
    lines = []
    for i in range(0, len(items), per_line):
        lines.append("    " + ", ".join(items[i:i + per_line]) + ",")
    return "\n".join(lines)


def render(version, boundaries, mappings):
    parts = [
        "// Generated by tools/gen_case_tables.py from Unicode's data files; do not edit.",
        '#include "keelbox/text/case_tables.hpp"',
        "",
        "namespace keelbox::case_tables {",
        "namespace {",
        "",
        "constexpr std::uint32_t property_data[] = {",
        wrap([f"0x{c << 3 | b:x}" for c, b in boundaries], 8),
        "};",
    ]
    for kind in KINDS:
        runs, extra = mappings[kind]
        parts += [
            "",
            f"constexpr Run {kind}_run_data[] = {{",
            wrap([f"{{0x{f:x}, {l - f}, {s}, {d}}}" for f, l, s, d in runs], 4),
            "};",
            f"constexpr Special {kind}_special_data[] = {{",
            wrap(["{0x%x, {%s}}" % (c, ", ".join(f"0x{x:x}" for x in extra[c])) for c in sorted(extra)], 3),
            "};",
        ]
    parts += [
        "",
        "}  // namespace",
        "",
        f'const std::string_view unicode_version = "{version}";',
        "const std::span<const std::uint32_t> properties{property_data};",
    ]
    for kind in KINDS:
        parts.append(f"const Mapping {kind}{{{kind}_run_data, {kind}_special_data}};")
    parts += ["", "}  // namespace keelbox::case_tables", ""]
    return "\n".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data-dir", required=True, help="folder of UnicodeData.txt and its siblings")
    parser.add_argument("--out", required=True, help="the C++ source to write")
    args = parser.parse_args()
    for name in ("UnicodeData.txt", "SpecialCasing.txt", "DerivedCoreProperties.txt", "PropList.txt"):
        if not os.path.isfile(os.path.join(args.data_dir, name)):
            sys.exit(f"gen_case_tables: {name} is missing in {args.data_dir} (Debian package unicode-data)")
    simple, category = simple_mappings(args.data_dir)
    text = render(unicode_version(os.path.join(args.data_dir, "DerivedCoreProperties.txt")),
                  property_boundaries(property_bits(args.data_dir)),
                  full_mappings(simple, special_mappings(args.data_dir), category))
    temporary = args.out + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, args.out)


if __name__ == "__main__":
    main()
