#!/usr/bin/env python3
"""Generate src/core/unicode_tables.inc from the Unicode Character Database.

Run by hand when moving to a new Unicode version; the outputs are committed and
the build never runs this script.  Reads the text files that Debian's
``unicode-data`` package installs under /usr/share/unicode/:

  DerivedCoreProperties.txt          Alphabetic, Grapheme_Extend
  UnicodeData.txt                    general categories (with First/Last ranges)
  extracted/DerivedGeneralCategory.txt
                                     used only to cross-check the categories
                                     read from UnicodeData.txt and to learn the
                                     Unicode version of UnicodeData.txt, which
                                     has no header of its own

Two tables of sorted, merged, inclusive [first, last] ranges are written:

  kNameCharRanges   code points above U+007F that are Alphabetic or of
                    general category Nd, Nl or No (letters and digits of any
                    script, accepted in component names);
  kEscapeRanges     code points written as \\u{...} in a quoted string list:
                    general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp,
                    Zs except U+0020, and every Grapheme_Extend code point.

A third file, tests/unicode_assigned.txt, lists the code points assigned in that
version (every general category but Cn) as ranges. The tests compare the tables
with an independent reference on those code points only: the reference and the
running interpreter may know a newer Unicode version, whose new code points the
module's tables rightly treat as unassigned.

Usage: tools/gen_unicode_tables.py [--ucd-dir DIR] [--output FILE] [--assigned-output FILE]
Standard library only.
"""

import argparse
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
SCRIPT_NAME = "tools/gen_unicode_tables.py"

NAME_CATEGORIES = frozenset({"Nd", "Nl", "No"})
ESCAPE_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})


def fail(message):
    sys.exit(f"{SCRIPT_NAME}: {message}")


def header_version(path, stem):
    """Return the version from a first line such as '# DerivedCoreProperties-15.0.0.txt'."""
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    match = re.match(r"#\s*" + re.escape(stem) + r"-(\d+\.\d+\.\d+)\.txt\s*$", first)
    if not match:
        fail(f"{path}: cannot read the Unicode version from the first line {first!r}")
    return match.group(1)


def parse_code_points(field):
    """'0041..005A' -> (0x41, 0x5A); '00AA' -> (0xAA, 0xAA)."""
    if ".." in field:
        first, last = field.split("..")
        return int(first, 16), int(last, 16)
    value = int(field, 16)
    return value, value


def read_property_file(path, wanted):
    """Read a 'range ; value # comment' file; return {value: [(first, last), ...]}."""
    result = {value: [] for value in wanted}
    with open(path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [part.strip() for part in data.split(";")]
            if fields[1] in result:
                result[fields[1]].append(parse_code_points(fields[0]))
    for value, ranges in result.items():
        if not ranges:
            fail(f"{path}: no entries for {value}")
    return result


def read_unicode_data(path):
    """Return a list of 0x110000 general categories; unlisted code points are Cn."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    pending_first = None  # (code point, range name) of an open '<..., First>' line
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            fields = line.split(";")
            if len(fields) != 15:
                fail(f"{path}:{number}: expected 15 fields, got {len(fields)}")
            cp = int(fields[0], 16)
            name, category = fields[1], fields[2]
            if name.endswith(", First>"):
                if pending_first is not None:
                    fail(f"{path}:{number}: First line inside an open range")
                pending_first = (cp, name[: -len(", First>")], category)
                continue
            if name.endswith(", Last>"):
                if pending_first is None:
                    fail(f"{path}:{number}: Last line without a First line")
                first, range_name, first_category = pending_first
                if name[: -len(", Last>")] != range_name or category != first_category:
                    fail(f"{path}:{number}: Last line does not match its First line")
                for member in range(first, cp + 1):
                    categories[member] = category
                pending_first = None
                continue
            if pending_first is not None:
                fail(f"{path}:{number}: open First range not closed")
            categories[cp] = category
    if pending_first is not None:
        fail(f"{path}: open First range at end of file")
    return categories


def cross_check_categories(categories, derived_path):
    """Every code point must have the same category in DerivedGeneralCategory.txt."""
    seen = [False] * (MAX_CODE_POINT + 1)
    with open(derived_path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            field, category = (part.strip() for part in data.split(";"))
            first, last = parse_code_points(field)
            for cp in range(first, last + 1):
                if categories[cp] != category:
                    fail(f"U+{cp:04X} is {categories[cp]} in UnicodeData.txt but {category} in {derived_path}")
                seen[cp] = True
    if not all(seen):
        fail(f"{derived_path} does not cover every code point")


def merge(code_points):
    """Sorted iterable of code points -> list of maximal [first, last] ranges."""
    ranges = []
    for cp in code_points:
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return ranges


def members(range_list):
    result = set()
    for first, last in range_list:
        result.update(range(first, last + 1))
    return result


def format_table(name, comment, ranges):
    lines = [f"// {line}" for line in comment]
    lines.append(f"// {len(ranges)} ranges.")
    lines.append(f"inline constexpr CodePointRange {name}[] = {{")
    per_line = 4
    for start in range(0, len(ranges), per_line):
        chunk = ranges[start : start + per_line]
        lines.append("    " + " ".join(f"{{0x{a:04X}, 0x{b:04X}}}," for a, b in chunk))
    lines.append("};")
    return "\n".join(lines)


def main():
    repo_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ucd-dir", default="/usr/share/unicode")
    parser.add_argument("--output", default=os.path.join(repo_root, "src", "core", "unicode_tables.inc"))
    parser.add_argument("--assigned-output", default=os.path.join(repo_root, "tests", "unicode_assigned.txt"))
    args = parser.parse_args()

    core_path = os.path.join(args.ucd_dir, "DerivedCoreProperties.txt")
    data_path = os.path.join(args.ucd_dir, "UnicodeData.txt")
    derived_gc_path = os.path.join(args.ucd_dir, "extracted", "DerivedGeneralCategory.txt")

    version = header_version(core_path, "DerivedCoreProperties")
    gc_version = header_version(derived_gc_path, "DerivedGeneralCategory")
    if gc_version != version:
        fail(f"version mismatch: DerivedCoreProperties {version}, DerivedGeneralCategory {gc_version}")

    properties = read_property_file(core_path, ("Alphabetic", "Grapheme_Extend"))
    alphabetic = members(properties["Alphabetic"])
    grapheme_extend = members(properties["Grapheme_Extend"])
    categories = read_unicode_data(data_path)
    cross_check_categories(categories, derived_gc_path)

    name_chars = merge(
        cp for cp in range(0x80, MAX_CODE_POINT + 1) if cp in alphabetic or categories[cp] in NAME_CATEGORIES
    )
    escape = merge(
        cp
        for cp in range(0, MAX_CODE_POINT + 1)
        if (categories[cp] in ESCAPE_CATEGORIES and cp != 0x20) or cp in grapheme_extend
    )

    assigned = merge(cp for cp in range(0, MAX_CODE_POINT + 1) if categories[cp] != "Cn")

    text = "\n".join(
        [
            f"// Unicode {version} character tables for the name rule and the quoted string list.",
            f"// generated by {SCRIPT_NAME}, do not edit",
            f"// Sources: DerivedCoreProperties-{version}.txt, UnicodeData.txt,",
            f"//          DerivedGeneralCategory-{version}.txt (cross-check only).",
            "// Included by unicode.cpp inside namespace tessarin::core::unicode, after",
            "// the definition of CodePointRange. Ranges are inclusive, sorted, disjoint",
            "// and never adjacent, so a binary search over `first` finds the only",
            "// candidate range.",
            "",
            f'inline constexpr char kUnicodeVersion[] = "{version}";',
            "",
            format_table(
                "kNameCharRanges",
                ["Above U+007F: Alphabetic, or general category Nd, Nl or No."],
                name_chars,
            ),
            "",
            format_table(
                "kEscapeRanges",
                [
                    "General category Cc, Cf, Cs, Co, Cn, Zl, Zp, or Zs other than U+0020;",
                    "or Grapheme_Extend.",
                ],
                escape,
            ),
            "",
        ]
    )
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    print(f"wrote {args.output}: Unicode {version}, {len(name_chars)} name ranges, {len(escape)} escape ranges")

    assigned_text = "".join(
        [
            f"# Code points assigned in Unicode {version}: general category other than Cn.\n",
            f"# generated by {SCRIPT_NAME}, do not edit\n",
            "# Inclusive ranges FIRST..LAST (hexadecimal), sorted, disjoint, never adjacent.\n",
        ]
        + [f"{first:04X}..{last:04X}\n" for first, last in assigned]
    )
    with open(args.assigned_output, "w", encoding="utf-8", newline="\n") as f:
        f.write(assigned_text)
    print(f"wrote {args.assigned_output}: {len(assigned)} ranges of assigned code points")


if __name__ == "__main__":
    main()
