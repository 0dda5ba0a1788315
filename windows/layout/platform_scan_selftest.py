#!/usr/bin/env python3
"""Proves platform_scan on the declaration forms platform/ headers use, as
the preprocessor leaves them: what each form declares, and what it does not."""

import argparse
import sys
from pathlib import Path

from platform_scan import scan_header

STDCALL = "__attribute__((stdcall))"
FASTCALL = "__attribute__((fastcall))"

# (what the case is about, header text, expected items by kind)
CASES = [
    ("a record with nested, anonymous and array members",
     """typedef struct _REQUEST {
            UCHAR Reserved[4 * sizeof(PVOID)];
            union _DATA {
                struct _QUERY { ULONG Oid; PVOID Buffer; } QUERY;
            } DATA;
            union { UCHAR A[8]; UCHAR B[8]; };
            struct _REQUEST *Next, *Previous;
        } REQUEST, *PREQUEST;""",
     {"sizes": {"REQUEST"},
      "fields": {("REQUEST", "Reserved"), ("REQUEST", "DATA"), ("REQUEST", "DATA.QUERY"),
                 ("REQUEST", "DATA.QUERY.Oid"), ("REQUEST", "DATA.QUERY.Buffer"), ("REQUEST", "A"),
                 ("REQUEST", "B"), ("REQUEST", "Next"), ("REQUEST", "Previous")}}),
    ("bit-fields have no offset to check",
     "typedef struct _FLAGS { ULONG Low : 4; ULONG High : 28; ULONG Whole; } FLAGS;",
     {"sizes": {"FLAGS"}, "fields": {("FLAGS", "Whole")}}),
    ("function pointer members",
     "typedef struct _TABLE { VOID (%s *Handler)(PVOID); PVOID (*Plain)(VOID); } TABLE;" % STDCALL,
     {"sizes": {"TABLE"}, "fields": {("TABLE", "Handler"), ("TABLE", "Plain")}}),
    ("enums, with and without an underlying type",
     "typedef enum _MODE { First = 0, Second, } MODE; typedef enum _CODE : int { Only = 7 } CODE;",
     {"sizes": {"MODE", "CODE"}, "values": {"First", "Second", "Only"}}),
    ("scalar typedefs; pointers and opaque records have no size of their own",
     "typedef unsigned char UCHAR, *PUCHAR; typedef void *HANDLE; typedef struct _OPAQUE OPAQUE, *POPAQUE;",
     {"sizes": {"UCHAR"}}),
    ("constants, and the macros that are not",
     "#define STATUS_X ((NTSTATUS)0xC0000001L)\n#define ALIAS STATUS_X\n#define EMPTY\n"
     "#define FUNCTION_LIKE(x) (x)\n#define TEXT \"text\"\n#define CONVENTION %s\n" % STDCALL,
     {"values": {"STATUS_X", "ALIAS"}}),
    ("handler types: pointers, function types in and out of parentheses",
     "typedef VOID(%s *POINTER_HANDLER)(PVOID); typedef NTSTATUS(%s FUNCTION_HANDLER)(PVOID);"
     "typedef VOID %s BARE_HANDLER(PVOID, ULONG);" % (STDCALL, STDCALL, STDCALL),
     {"handlers": {"POINTER_HANDLER"}, "handler_types": {"FUNCTION_HANDLER", "BARE_HANDLER"}}),
    ("functions: with a convention, or plain C ones in extern \"C\"; not inline ones, data or types",
     'extern "C" {\nVOID %s Exported(PVOID P);\nKIRQL %s Fast(PKSPIN_LOCK L);\n'
     "int _wcsnicmp(const WCHAR *Left, const WCHAR *Right, size_t Count);\n"
     "int _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...);\n"
     "extern __attribute__((dllimport)) PVOID DataExport;\ntypedef VOID (*PLAIN_HANDLER)(PVOID);\n}\n"
     "inline VOID %s Inlined(PVOID P) { Exported(P); }\nVOID CppHelper(PVOID P);\n" % (STDCALL, FASTCALL, STDCALL),
     {"functions": {"Exported", "Fast", "_wcsnicmp", "_snwprintf"}, "handlers": {"PLAIN_HANDLER"}}),
]

KINDS = ("sizes", "fields", "values", "handlers", "handler_types", "functions")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--stamp", type=Path)
    args = parser.parse_args()

    failures = []
    for label, text, expected in CASES:
        items = scan_header(text)
        for kind in KINDS:
            found = getattr(items, kind)
            wanted = expected.get(kind, set())
            if found != wanted:
                failures.append("%s: %s are %s, expected %s" % (label, kind, sorted(found), sorted(wanted)))
    if failures:
        print("platform_scan misreads declarations:", file=sys.stderr)
        for failure in failures:
            print("  " + failure, file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
