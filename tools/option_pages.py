#!/usr/bin/env python3
"""Writes the manual page and the bash completion of skarbel from the program's
own --help and --version, so that neither can list an option the program lacks.

The pages are rendered from option records (name, value placeholder, text);
options_from_help() is the only part that knows the layout of --help, so a
machine-readable option list can replace it without touching the renderers.
"""
import argparse
import gzip
import pathlib
import re
import subprocess
import sys

# Option values that are a fixed list, offered by the completion. Every value
# must appear in the option's --help text as "V (", which keeps this list from
# going stale when the program changes.
VALUE_LISTS = {"--mode": ["1", "2", "6", "12"]}


def run_program(program, option):
    done = subprocess.run([program, option], capture_output=True, text=True, check=True)
    return done.stdout


def options_from_help(text):
    """Splits --help into usage, summary, option records and file records."""
    lines = text.splitlines()
    usage = lines[0].replace("Usage:", "", 1).strip()
    summary = lines[1].strip()
    options, files, section = [], [], None
    for line in lines[2:]:
        if line.startswith("Options"):
            section = options
        elif line.startswith("Files:"):
            section = files
        elif not line.strip() or section is None:
            continue
        elif line.startswith("   ") and section:
            section[-1]["text"] += " " + line.strip()
        else:
            head, _, text = line.strip().partition(" ")
            section.append({"head": head, "text": text.strip()})
    return usage, summary, [option_record(o) for o in options], files


def option_record(entry):
    head = entry["head"]
    # "--name=VALUE", "--name[=VALUE]" (the value may be left out), "-x<value>".
    match = re.fullmatch(r"(--[a-z][a-z-]*)(?:\[=([^\s\]]+)\]|=(\S+))?|(-[A-Za-z])(?:<(\w+)>)?", head)
    if not match:
        sys.exit(f"option_pages: cannot read option \"{head}\" of --help")
    long_name, optional_value, long_value, short_name, short_value = match.groups()
    name = long_name or short_name
    return {"name": name, "value": optional_value or long_value or short_value, "optional": bool(optional_value), "text": entry["text"],
            "choices": VALUE_LISTS.get(name, [])}


def check_value_lists(options):
    names = {o["name"]: o for o in options}
    for name, values in VALUE_LISTS.items():
        if name not in names:
            sys.exit(f"option_pages: {name} has a value list but --help does not list it")
        for value in values:
            if f"{value} (" not in names[name]["text"]:
                sys.exit(f"option_pages: {name} value {value} is not in its --help text")


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def roff_option(option):
    name = roff(option["name"])
    if not option["value"]:
        return f".B {name}"
    if option["optional"]:
        return f".BI {name}[= {roff(option['value'])} ]"
    if option["name"].startswith("--"):
        return f".BI {name}= {roff(option['value'])}"
    return f".BI {name} {roff(option['value'])}"


def synopsis(usage):
    # Bold program and option letters, italic operands, values attached as typed.
    words = []
    for word in re.findall(r"\[[^\]]*\]|\S+", usage)[1:]:
        match = re.fullmatch(r"\[(-\w)(?: (\w+))?\]", word)
        if match:
            value = f"\\fI{match.group(2)}" if match.group(2) else ""
            words.append(f"[\\fB{roff(match.group(1))}{value}\\fR]")
        else:
            words.append(f"\\fI{roff(word.strip('<>'))}\\fR")
    return ".B skarbel\n" + " ".join(words)


def man_page(template, version, usage, summary, options, files):
    fields = {
        "VERSION": roff(version),
        "SUMMARY": roff(summary),
        "SYNOPSIS": synopsis(usage),
        "OPTIONS": "\n".join(f".TP\n{roff_option(o)}\n{roff(o['text'])}" for o in options),
        "FILES": "\n".join(f".TP\n.I {roff(f['head'])}\n{roff(f['text'])}" for f in files),
    }
    return re.sub(r"@(\w+)@", lambda m: fields[m.group(1)], template)


def completion(template, options):
    # An option whose value may be left out completes as itself, finished.
    long_words = [o["name"] + ("=" if o["value"] and not o["optional"] else "") for o in options
                  if o["name"].startswith("--")]
    short_words = [o["name"] for o in options if not o["name"].startswith("--")]
    cases = "\n".join(f"        {o['name']}) echo \"{' '.join(o['choices'])}\" ;;" for o in options if o["choices"])
    fields = {"LONG_OPTIONS": " ".join(long_words), "SHORT_OPTIONS": " ".join(short_words), "VALUE_CASES": cases}
    return re.sub(r"@(\w+)@", lambda m: fields[m.group(1)], template)


def write_gzip(path, text):
    # No name or time stamp in the archive: the package's bytes depend on the sources only.
    with open(path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as archive:
        archive.write(text.encode())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the skarbel executable to ask")
    parser.add_argument("--man-template", required=True)
    parser.add_argument("--completion-template", required=True)
    parser.add_argument("--out", required=True, help="folder for skarbel.1, its .gz, skarbel-mpi.1.gz and skarbel.bash")
    args = parser.parse_args()

    version = run_program(args.program, "--version").split()[-1]
    usage, summary, options, files = options_from_help(run_program(args.program, "--help"))
    check_value_lists(options)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    page = man_page(pathlib.Path(args.man_template).read_text(), version, usage, summary, options, files)
    (out / "skarbel.1").write_text(page)
    write_gzip(out / "skarbel.1.gz", page)
    write_gzip(out / "skarbel-mpi.1.gz", ".so man1/skarbel.1\n")
    script = completion(pathlib.Path(args.completion_template).read_text(), options)
    (out / "skarbel.bash").write_text(script)


if __name__ == "__main__":
    main()
