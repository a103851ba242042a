#!/usr/bin/env python3
"""Every word more than one thread can reach is typed, unless it says whose it is.

Judged by default: every data member of every record (struct, class, union,
nested and local ones included, static members too) and every namespace-scope
or static object (file-scope, function-local `static`) of the libraries, their
headers and sources alike (every folder but tests/, bench/, tools/). Each
passes when
  - its type allows only whole access or needs no owner: Shared<...>,
    std::atomic<...> and atomic_flag, a lock, condition variable or once flag
    (their own operations are made for concurrent use), a const or constexpr
    object, a reference, a thread_local object, or a record of the libraries
    (whose own members are judged where it is declared); or
  - its declaration says which one thread touches it, in this form, on one of
    its own lines or in the nearest comment block above it (a block covers the
    declarations that follow it up to the next blank line, comment block or
    scope boundary):
        // one thread: <owner>[, anything]
    or the record it belongs to says so once for all its members (and those of
    the records nested in it), in the nearest comment block above its head;
    where <owner> is one of
        interface    the interface thread (tarvelo-ui)
        audio        the audio thread (tarvelo-audio), the render among it
        video        the video thread (tarvelo-video)
        midi         the MIDI thread (tarvelo-midi)
        signal       the signal thread (tarvelo-signal)
        graph owner  whoever owns the module graph: the audio thread while
                     playback runs, the interface thread otherwise; it changes
                     hands at the numbered playback reports and frame holds
        maker        whoever makes the record, before any other thread can
                     reach it; no thread writes it after (a ring's slot, filled
                     before the index that publishes it moves, is made anew
                     each time)
        start-up     written only before the program's other threads start or
                     after they stopped; read-only between
        holder of L  whichever thread holds lock L (named as in the code)
        value        (for a record) its objects are values, each its holder's:
                     a member or object of its type says its own owner
A declaration the check cannot read fails, as does a memcpy or memmove into a
record holding shared words anywhere but in CopyShared (it bypasses the named
copy); a destination cast to void* (what silences the compiler's own warning)
must be one whose type the check can tell. Prints each fault and exits 1 when there is one.

--self-test runs the check's own cases (the slip forms it must catch and the
forms it must pass); --count prints what it read.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SKIPPED_FOLDERS = {"tests", "bench", "tools", "build", "scripts", "cmake"}

OWNERS = r"(interface|audio|video|midi|signal|graph owner|maker|start-up|value|holder of [A-Za-z_:][\w:]*)"
ONE_THREAD = re.compile(r"//.*\bone thread: " + OWNERS + r"(?![\w-])")

# Types whose objects take whole access only, or are made for concurrent use.
SAFE_TYPES = re.compile(
    r"(^|::)(Shared|atomic|atomic_flag|atomic_ref|mutex|recursive_mutex|timed_mutex|shared_mutex|"
    r"condition_variable|condition_variable_any|once_flag|counting_semaphore|binary_semaphore|latch|"
    r"barrier|Mutex|SpinLock|Semaphore)$")
# Leading words that are no object declarations.
SKIP_HEADS = {"using", "typedef", "static_assert", "friend", "namespace", "template", "concept",
              "public", "private", "protected", "export", "module", "import"}
PAREN_TYPE_WORDS = {"decltype", "alignas", "__attribute__", "__declspec", "typeof", "__typeof__",
                    "noexcept", "sizeof", "alignof", "requires", "throw", "_Alignas"}
BUILTIN_TYPES = {"void", "bool", "char", "short", "int", "long", "float", "double", "unsigned", "signed",
                 "wchar_t", "char8_t", "char16_t", "char32_t", "auto", "size_t", "int8_t", "int16_t",
                 "int32_t", "int64_t", "uint8_t", "uint16_t", "uint32_t", "uint64_t", "const",
                 "volatile", "intptr_t", "uintptr_t", "ptrdiff_t"}
SPECIFIERS = {"static", "inline", "extern", "mutable", "constexpr", "constinit", "consteval",
              "thread_local", "virtual", "explicit", "register", "volatile", "const", "struct",
              "class", "union", "enum", "typename", "[[", "]]"}
RECORD_KEYS = {"struct", "class", "union"}


class ParseError(Exception):
    pass


# ---------------------------------------------------------------- tokens

TOKEN = re.compile(r"""
    (?P<ws>\s+)
  | (?P<lc>//[^\n]*)
  | (?P<bc>/\*.*?\*/)
  | (?P<raw>(?:u8|[uUL])?R"(?P<delim>[^(\s]{0,16})\((?:.|\n)*?\)(?P=delim)")
  | (?P<str>(?:u8|[uUL])?"(?:\\.|[^"\\\n])*")
  | (?P<chr>(?:u8|[uUL])?'(?:\\.|[^'\\\n])+')
  | (?P<num>\.?\d(?:[\w.]|[eEpP][+-])*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<pp>\#)
  | (?P<op>::|->\*?|\.\.\.|<<=|>>=|<=>|<<|>>|<=|>=|==|!=|&&|\|\||\+\+|--|[-+*/%&|^!=]=|[^\s\w])
""", re.VERBOSE | re.DOTALL)


class Tok:
    __slots__ = ("text", "kind", "line")

    def __init__(self, text, kind, line):
        self.text, self.kind, self.line = text, kind, line

    def __repr__(self):
        return self.text


def tokenize(src):
    toks = []
    line = 0
    pos = 0
    at_line_start = True
    n = len(src)
    while pos < n:
        m = TOKEN.match(src, pos)
        if not m:
            raise ParseError(f"line {line + 1}: cannot read {src[pos:pos + 20]!r}")
        kind = m.lastgroup if m.lastgroup != "delim" else "raw"
        text = m.group(0)
        if kind == "pp" and at_line_start:
            # A preprocessor line, with its continuations, is no code here.
            end = pos
            while True:
                nl = src.find("\n", end)
                if nl < 0:
                    nl = n
                    break
                if src[nl - 1] == "\\":
                    end = nl + 1
                    continue
                break
            line += src.count("\n", pos, nl)
            pos = nl
            continue
        if kind in ("ws", "lc", "bc"):
            if "\n" in text:
                at_line_start = True
            line += text.count("\n")
            pos = m.end()
            continue
        at_line_start = False
        if kind in ("raw", "str", "chr"):
            toks.append(Tok('""' if kind != "chr" else "''", "lit", line))
        elif kind == "num":
            toks.append(Tok(text, "lit", line))
        elif kind == "op" and text == ">>":
            # Closes two template lists in a type; an expression never needs it here.
            toks.append(Tok(">", "op", line))
            toks.append(Tok(">", "op", line))
        else:
            toks.append(Tok(text, kind, line))
        line += text.count("\n")
        pos = m.end()
    return toks


def match_close(toks, i):
    """Index of the bracket closing the one at i."""
    pairs = {"(": ")", "[": "]", "{": "}", "[[": "]]"}
    opener = toks[i].text
    stack = []
    for j in range(i, len(toks)):
        t = toks[j].text
        if t in pairs:
            stack.append(pairs[t])
        elif t in (")", "]", "}", "]]"):
            if t == "]]" and stack and stack[-1] == "]":
                # `a[b[c]]`: two single closers
                stack.pop()
                if stack and stack[-1] == "]":
                    stack.pop()
                    if not stack:
                        return j
                    continue
                raise ParseError(f"line {toks[j].line + 1}: unbalanced {opener}")
            if not stack or stack[-1] != t:
                raise ParseError(f"line {toks[j].line + 1}: unbalanced {opener}")
            stack.pop()
            if not stack:
                return j
    raise ParseError(f"line {toks[i].line + 1}: {opener} never closed")


def skip_angles(toks, i):
    """i at '<' of a template list: index after its '>'."""
    depth = 0
    j = i
    while j < len(toks):
        t = toks[j].text
        if t in ("(", "[", "{", "[["):
            j = match_close(toks, j) + 1
            continue
        if t == "<":
            depth += 1
        elif t == ">":
            depth -= 1
            if depth == 0:
                return j + 1
        elif t in (";", "}"):
            raise ParseError(f"line {toks[i].line + 1}: template list never closed")
        j += 1
    raise ParseError(f"line {toks[i].line + 1}: template list never closed")


# ---------------------------------------------------------------- files

class Source:
    def __init__(self, rel, text):
        self.rel = rel
        self.lines = text.splitlines()
        self.toks = tokenize(text)

    def comment_block_above(self, i):
        """The nearest comment block above line i, walking up over the
        declarations of the same group; None past a blank line or a scope edge."""
        j = i - 1
        while j >= 0:
            s = self.lines[j].strip()
            if s == "":
                return None
            if s.startswith("//") or s.startswith("/*") or s.startswith("*"):
                block = []
                while j >= 0 and (self.lines[j].strip().startswith(("//", "/*", "*"))):
                    block.append(self.lines[j])
                    j -= 1
                return block
            code = s.split("//", 1)[0].strip()
            if code.endswith("{") or code.startswith("}") or re.match(r"^(public|private|protected)\s*:", code):
                return None
            j -= 1
        return None

    def says_one_thread(self, first, last, owner=None):
        def says(text):
            m = ONE_THREAD.search(text)
            return bool(m) and (owner is None or m.group(1) == owner)
        if any(says(self.lines[k]) for k in range(first, min(last, len(self.lines) - 1) + 1)):
            return True
        block = self.comment_block_above(first)
        return bool(block) and any(says(b) for b in block)


class Checker:
    def __init__(self):
        self.faults = []
        self.function = None
        self.value_records = set()
        self.known = set()
        self.records = {}       # simple name -> list of (rel, line)
        self.shared_records = set()
        self.record_members = {}  # name -> list of (member name, type text, is_shared)
        self.objects = []       # (rel, line, where, text, verdict)
        self.externs = set()
        self.definitions = []   # namespace-scope objects that may have an extern elsewhere
        self.memcopies = []     # (source, toks, index, function name)
        self.counts = {"records": 0, "members": 0, "objects": 0, "statics": 0,
                       "typed": 0, "said": 0, "record-said": 0}

    # -------------------------------------------------------- walking

    def read(self, rel, src):
        try:
            if isinstance(src, Exception):
                raise src
            self.scope(src, src.toks, 0, len(src.toks), "namespace", None, False)
        except ParseError as e:
            self.faults.append(f"{rel}: cannot read: {e}")

    def scope(self, src, toks, i, end, kind, record, record_said):
        """Declarations of a namespace or record body toks[i:end]."""
        while i < end:
            t = toks[i].text
            if t == ";":
                i += 1
                continue
            if kind == "record" and t in ("public", "private", "protected") and i + 1 < end and toks[i + 1].text == ":":
                i += 2
                continue
            i = self.declaration(src, toks, i, end, kind, record, record_said)

    def declaration(self, src, toks, i, end, kind, record, record_said):
        """One declaration from i; returns the index after it."""
        start = i
        head = []   # tokens of the declaration outside bodies and initializer braces
        inits = []  # (first, last) of initializer brace blocks inside it
        j = i
        is_record_decl = False
        while j < end:
            t = toks[j].text
            if t == ";":
                break
            if t in ("(", "[", "[["):
                k = match_close(toks, j)
                if any(x.text == "{" for x in toks[j + 1:k]):
                    self.body(src, toks, j + 1, k, record, record_said, None)  # a lambda's statics
                head.extend(toks[j:k + 1])
                j = k + 1
                continue
            if t == "<" and head and head[-1].text == "template":
                k = skip_angles(toks, j)
                head.extend(toks[j:k])
                j = k
                continue
            if t == "{":
                k = match_close(toks, j)
                what = self.brace_kind(head)
                if what == "namespace":
                    self.scope(src, toks, j + 1, k, "namespace", None, False)
                    return k + 1
                if what == "record":
                    name = self.record_name(head)
                    hl = head_line(head, toks[start])
                    said = record_said or src.says_one_thread(hl, hl)
                    if src.says_one_thread(hl, hl, "value"):
                        self.value_records.add(name)
                    self.counts["records"] += 1
                    qual = name or "__unnamed_record"
                    self.records.setdefault(qual, []).append((src.rel, toks[j].line + 1))
                    self.record_members.setdefault(qual, [])
                    if not (name == "Shared" and src.rel == "basics/shared_word.h"):
                        # (the shared word itself: whole access is all it offers)
                        self.scope(src, toks, j + 1, k, "record", qual, said)
                    is_record_decl = True
                    head = [Tok(name or "__unnamed_record", "id", toks[j].line), ]
                    if any(x.text in ("typedef", "using") for x in toks[start:j]):
                        head.insert(0, Tok("typedef", "id", toks[j].line))
                    head_prefix = [x for x in toks[start:j] if x.text in ("static", "thread_local", "const", "constexpr", "inline", "extern", "mutable")]
                    head = head_prefix + head
                    j = k + 1
                    continue
                if what == "enum":
                    head = [x for x in head if x.text in ("static", "const", "constexpr", "thread_local", "typedef")]
                    head.append(Tok("__enum_type", "id", toks[j].line))
                    is_record_decl = True
                    j = k + 1
                    continue
                if what == "extern-c":
                    self.scope(src, toks, j + 1, k, "namespace", None, False)
                    return k + 1
                if what == "function":
                    self.body(src, toks, j + 1, k, record, record_said, function_name(head))
                    # a function definition ends with its body
                    return k + 1 if not (k + 1 < end and toks[k + 1].text == ";") else k + 2
                # an initializer
                inits.append((j, k))
                self.body(src, toks, j + 1, k, record, record_said, None)
                head.append(Tok("{}", "init", toks[j].line))
                j = k + 1
                continue
            if t == "}":
                raise ParseError(f"line {toks[j].line + 1}: unexpected }}")
            head.append(toks[j])
            j += 1
        if j >= end:
            raise ParseError(f"line {toks[start].line + 1}: declaration never ends")
        last_line = toks[j].line
        self.judge(src, head, toks[start].line, last_line, kind, record, record_said, is_record_decl)
        return j + 1

    def brace_kind(self, head):
        words = [x.text for x in head]
        core = strip_prefix(head)
        cw = [x.text for x in core]
        if not cw:
            return "init" if words else "block"
        if cw[0] == "namespace" or (cw[0] == "inline" and len(cw) > 1 and cw[1] == "namespace"):
            return "namespace"
        if cw[0] == "extern" and len(cw) == 2 and cw[1] == '""':
            return "extern-c"
        if "=" in top_level(core):
            return "init"
        # record head: [specifiers] struct|class|union [attrs] [Name[::Name]<...>] [final] [: bases]
        for n, x in enumerate(cw):
            if x in RECORD_KEYS:
                rest = cw[n + 1:]
                if n > 0 and cw[n - 1] == "enum":
                    return "enum"
                return "record" if record_head_rest(rest) else "init"

            if x == "enum":
                return "enum"
            if x not in SPECIFIERS and x not in ("typedef",):
                break
        if "operator" in cw:
            return "function"
        if read_declarator(core, core, "record", cw) == "function":
            # a member initializer's braces belong to the list, not the body
            tl = top_level(core)
            if ":" in tl and cw[-1] not in (")", "}", "{}", "const", "noexcept", "override", "final", "mutable"):
                return "init"
            return "function"
        return "init"

    def record_name(self, head):
        core = [x.text for x in strip_prefix(head)]
        for n, x in enumerate(core):
            if x in RECORD_KEYS:
                rest = [w for w in core[n + 1:] if w not in ("final",)]
                name = None
                for w in rest:
                    if w in (":", "{"):
                        break
                    if re.match(r"^[A-Za-z_]\w*$", w) and w not in ("alignas",):
                        name = w
                    if w == "<":
                        break
                return name
        return None

    def body(self, src, toks, i, end, record, record_said, fname):
        """A function body or initializer: its static objects and local records."""
        j = i
        stmt_start = True
        while j < end:
            t = toks[j].text
            if stmt_start and t in ("static", "thread_local"):
                self.function = fname
                j = self.declaration(src, toks, j, end, "function", record, record_said)
                stmt_start = True
                continue
            if False:
                # a static object of the function (or of a record local to it)
                k = j
                head = []
                while k < end and toks[k].text != ";":
                    if toks[k].text in ("(", "[", "[["):
                        c = match_close(toks, k)
                        head.extend(toks[k:c + 1])
                        k = c + 1
                        continue
                    if toks[k].text == "{":
                        c = match_close(toks, k)
                        self.body(src, toks, k + 1, c, record, record_said, fname)
                        head.append(Tok("{}", "init", toks[k].line))
                        k = c + 1
                        continue
                    head.append(toks[k])
                    k += 1
                self.judge(src, head, toks[j].line, toks[min(k, end - 1)].line, "function", record, record_said, False,
                           function=fname)
                j = k + 1
                stmt_start = True
                continue
            if stmt_start and local_record_ahead(toks, j, end):
                # a record local to the function
                j = self.declaration(src, toks, j, end, "local", record, record_said)
                stmt_start = True
                continue
            if stmt_start and t == "enum":
                while j < end and toks[j].text not in (";", "{"):
                    j += 1
                if j < end and toks[j].text == "{":
                    j = match_close(toks, j) + 1
                continue
            if t in ("memcpy", "memmove") and j + 1 < end and toks[j + 1].text == "(":
                self.memcopies.append((src, toks, j, fname))
            # after a label or a condition a declaration may follow too
            stmt_start = t in (";", "{", "}", ":", ")", "else", "do")
            j += 1

    # -------------------------------------------------------- judging

    def judge(self, src, head, first_line, last_line, kind, record, record_said, is_record_decl, function=None):
        if not head:
            return
        words = [x.text for x in head]
        core = strip_prefix(head)
        cw = [x.text for x in core]
        if not cw:
            return
        if cw[0] in SKIP_HEADS or cw[0] == "typedef" or "typedef" in cw[:3]:
            return
        if cw[0] == "extern" and len(cw) >= 2 and cw[1] == "template":
            return
        if cw[0] == "enum":
            return  # an enum declared, or declared ahead
        if cw[0] in RECORD_KEYS and len(cw) <= 3 and not is_record_decl:
            # declared ahead: `struct X;`, `class A::B;`
            if all(re.match(r"^[\w:]+$", w) for w in cw):
                return
        if is_record_decl and len(cw) == 1:
            return  # the record alone, no object of it
        if kind == "local" and is_record_decl:
            return  # automatic objects of a local record's type
        decls = split_declarators(core)
        specifiers, first = decls[0]
        if kind == "function":
            function = function or self.function
        where = record if kind == "record" else ("static in " + (function or "a function") if kind == "function" else "object")
        type_toks = None
        for n, (specifier, d) in enumerate(decls):
            specifier = specifiers if n > 0 else specifier
            if n > 0:
                if type_toks is None:
                    break
                d = type_toks + d
            info = read_declarator(specifier, d, kind, words)
            if n == 0 and isinstance(info, tuple):
                type_toks = info[3]
            if info is None:
                self.faults.append(f"{src.rel}:{first_line + 1}: {where}: cannot read: {' '.join(words)}")
                continue
            if info == "function":
                continue
            name, type_words, ptr_ops, _ = info
            qualified = is_qualified(d, name)
            if kind == "namespace" and qualified:
                continue  # defines what a record or namespace declared: judged there
            if "extern" in specifier_words(specifier):
                self.externs.add(name.text)
            elif kind == "namespace":
                self.definitions.append((src, first_line, last_line, name.text, specifier, d, record_said, where, words,
                                         type_words, ptr_ops))
                continue
            if kind == "record":
                self.record_members.setdefault(record, []).append(
                    (name.text, base_type(type_words), ptr_ops.count("*"), is_shared_type(type_words, ptr_ops)))
            self.tally(src, first_line, last_line, where, specifier, type_words, ptr_ops, record_said, words, kind,
                       name.text)

    def tally(self, src, first_line, last_line, where, specifier, type_words, ptr_ops, record_said, words, kind,
              name):
        self.counts["members" if kind == "record" else ("statics" if kind == "function" else "objects")] += 1
        verdict = typed(specifier_words(specifier), type_words, ptr_ops, self.known)
        if verdict:
            self.counts["typed"] += 1
            return
        if record_said:
            self.counts["record-said"] += 1
            return
        if src.says_one_thread(first_line, last_line):
            self.counts["said"] += 1
            return
        self.faults.append(f"{src.rel}:{first_line + 1}: {where}: {name}: {' '.join(words)}")

    def finish(self):
        for (src, first_line, last_line, name, specifier, d, record_said, where, words, type_words, ptr_ops) in self.definitions:
            if name in self.externs:
                continue  # judged where a header declares it
            self.tally(src, first_line, last_line, where, specifier, type_words, ptr_ops, record_said, words, "namespace",
                       name)
        self.find_shared_records()
        for (src, toks, j, fname) in self.memcopies:
            self.judge_memcopy(src, toks, j, fname)

    def find_shared_records(self):
        changed = True
        while changed:
            changed = False
            for name, members in self.record_members.items():
                if name in self.shared_records:
                    continue
                for (_, base, stars, is_shared) in members:
                    if is_shared or (stars == 0 and base in self.shared_records):
                        self.shared_records.add(name)
                        changed = True
                        break

    def judge_memcopy(self, src, toks, j, fname):
        if fname == "CopyShared":
            return
        close = match_close(toks, j + 1)
        args = split_commas(toks[j + 2:close])
        if not args:
            return
        dest = [x.text for x in args[0]]
        size = [x.text for x in args[-1]] if len(args) >= 3 else []
        shared = self.shared_records
        bad = None
        if any(w in shared and (k + 1 >= len(size) or size[k + 1] != "*") for k, w in enumerate(size)):
            bad = "its size is a record holding shared words"
        else:
            cast, target = self.resolve_destination(src, dest, toks[j].line)
            if target is None:
                if cast:
                    # a cast to void* is how a plain copy of a record gets past
                    # the compiler's own warning: it must say what it writes
                    bad = "a destination cast to void* whose type the check cannot tell"
            else:
                record, stars, member = target
                if stars == 0 and record in shared:
                    bad = f"its destination is a {record}, which holds shared words"
                elif member is not None and member[0] in shared:
                    # from a member on: the members the size reaches
                    reach = self.members_from(member[0], member[1], size)
                    if reach:
                        bad = f"it writes {member[0]}'s shared word {reach}"
        if bad:
            self.faults.append(f"{src.rel}:{toks[j].line + 1}: {toks[j].text} outside CopyShared: {bad}")

    def resolve_destination(self, src, dest, line):
        """(cast to void*, (type, pointer depth, (record, member) or None) of
        what the destination points at, or None when it cannot be told)."""
        d = list(dest)
        cast = False
        while d:
            if d[0] in ("static_cast", "reinterpret_cast") and "(" in d:
                inner = d[:d.index("(")]
                cast = cast or "void" in inner
                d = d[d.index("(") + 1:]
                if d and d[-1] == ")":
                    d = d[:-1]
                continue
            if d[:4] == ["(", "void", "*", ")"]:
                cast = True
                d = d[4:]
                continue
            break
        addr = bool(d) and d[0] == "&"
        if addr:
            d = d[1:]
        if not d or not re.match(r"^[A-Za-z_]\w*$", d[0]):
            return cast, None
        record, stars = declared_type(src, d[0], line)
        if record is None:
            return cast, None
        member = None
        k = 1
        while k < len(d):
            w = d[k]
            if w in (".", "->") and k + 1 < len(d):
                if (w == "." and stars != 0) or (w == "->" and stars != 1):
                    return cast, None
                found = next((m for m in self.record_members.get(record, []) if m[0] == d[k + 1]), None)
                if found is None:
                    return cast, None
                member = (record, d[k + 1])
                record, stars = found[1], found[2]
                k += 2
                continue
            if w == "[":
                depth = 0
                while k < len(d):
                    depth += d[k] == "["
                    depth -= d[k] == "]"
                    k += 1
                    if depth == 0:
                        break
                stars = max(stars - 1, 0)  # an array's element, or a pointer's
                continue
            break  # pointer arithmetic: the same type
        if not addr:
            stars = max(stars - 1, 0) if stars > 0 else 0
        return cast, (record, stars, member)

    def members_from(self, record, first, size):
        """The first shared member in the range a memcpy from `first` covers."""
        members = self.record_members.get(record, [])
        names = [m[0] for m in members]
        if first not in names:
            return None
        last = None
        for k, w in enumerate(size):
            if k > 0 and size[k - 1] in (".", "->") and w in names and w != first:
                last = w
        start = names.index(first)
        stop = names.index(last) if last in names else start
        for m in members[start:stop + 1]:
            if m[3] or (m[2] == 0 and m[1] in self.shared_records):
                return m[0]
        return None


# ---------------------------------------------------------------- helpers

def head_line(head, first):
    for x in head:
        if x.text in RECORD_KEYS:
            return x.line
    return first.line


def strip_prefix(head):
    """Drop a template header, attributes, alignas(...), requires(...) and
    `extern "C"` so the declaration proper remains."""
    out = list(head)
    changed = True
    while changed and out:
        changed = False
        if out[0].text == "template" and len(out) > 1 and out[1].text == "<":
            k = skip_angles(out, 1)
            out = out[k:]
            changed = True
        elif out[0].text == "[" and len(out) > 1 and out[1].text == "[":
            out = out[match_close(out, 0) + 1:]
            changed = True
        elif out[0].text in ("alignas", "__attribute__", "requires", "__declspec") and len(out) > 1 and out[1].text == "(":
            out = out[match_close(out, 1) + 1:]
            changed = True
        elif out[0].text == "extern" and len(out) > 1 and out[1].text == '""' and len(out) > 2:
            out = out[2:]
            changed = True
    return out


def top_level(toks):
    """Texts of the tokens outside brackets (template lists count)."""
    out = []
    depth = 0
    angle = 0
    prev = None
    for x in toks:
        t = x.text
        if prev == "operator":
            out.append(t)
            prev = t
            continue
        if t in ("(", "[", "{", "[["):
            depth += 1
        elif t in (")", "]", "}", "]]"):
            depth -= 1
        elif depth == 0 and t == "<" and prev and re.match(r"^[A-Za-z_]\w*$", prev) and prev not in ("operator",):
            angle += 1
        elif depth == 0 and t == ">" and angle > 0:
            angle -= 1
        elif depth == 0 and angle == 0:
            out.append(t)
        prev = t
    return out


def record_head_rest(rest):
    """The words between struct/class/union and a `{`: a record head?
    `[attributes] [Name[::Name][<...>]] [final] [: bases]`."""
    k = 0
    n = len(rest)
    while k < n and rest[k] in ("[[", "alignas", "__attribute__"):
        if rest[k] == "[[":
            while k < n and rest[k] != "]]":
                k += 1
            k += 1
        else:
            k += 1
            depth = 0
            while k < n:
                depth += rest[k] == "("
                depth -= rest[k] == ")"
                k += 1
                if depth == 0:
                    break
    expect_name = True
    while k < n:
        w = rest[k]
        if w == ":" and (k + 1 >= n or rest[k + 1] != ":"):
            return True  # bases follow
        if w == "final" and (k + 1 >= n or rest[k + 1] == ":"):
            k += 1
            continue
        if expect_name and re.match(r"^[A-Za-z_]\w*$", w):
            expect_name = False
        elif not expect_name and w == "::":
            expect_name = True
        elif not expect_name and w == "<":
            depth = 0
            while k < n:
                depth += rest[k] == "<"
                depth -= rest[k] == ">"
                if depth == 0:
                    break
                k += 1
        else:
            return False
        k += 1
    return True


def local_record_ahead(toks, j, end):
    """A statement from j that defines a record: `struct X {`, `typedef struct {`,
    `const struct {...} table[] = ...`."""
    k = j
    while k < end and toks[k].text not in ("{", ";", "=", "(", "}"):
        if toks[k].text in RECORD_KEYS and not (k > j and toks[k - 1].text == "enum"):
            return local_record_head(toks, k + 1, end)
        k += 1
    return False


def local_record_head(toks, j, end):
    rest = []
    while j < end and toks[j].text not in ("{", ";", "=", "("):
        rest.append(toks[j].text)
        j += 1
    return j < end and toks[j].text == "{" and record_head_rest(rest)


def split_commas(toks):
    out, cur, depth, angle = [], [], 0, 0
    for n, x in enumerate(toks):
        t = x.text
        if t in ("(", "[", "{", "[["):
            depth += 1
        elif t in (")", "]", "}", "]]"):
            depth -= 1
        if t == "," and depth == 0:
            out.append(cur)
            cur = []
            continue
        cur.append(x)
    if cur:
        out.append(cur)
    return out


def split_declarators(core):
    """[(specifier tokens, declarator tokens)]: `int a, *b;` has two."""
    pieces = []
    cur = []
    depth = 0
    angle = 0
    prev = None
    for x in core:
        t = x.text
        if t in ("(", "[", "{", "[["):
            depth += 1
        elif t in (")", "]", "}", "]]"):
            depth -= 1
        elif depth == 0 and t == "<" and prev and re.match(r"^[A-Za-z_]\w*$", prev) and prev != "operator":
            angle += 1
        elif depth == 0 and t == ">" and angle > 0:
            angle -= 1
        if t == "," and depth == 0 and angle == 0 and prev != "operator":
            pieces.append(cur)
            cur = []
            prev = t
            continue
        cur.append(x)
        prev = t
    pieces.append(cur)
    first = pieces[0]
    # the first piece: specifiers are what comes before its declarator name
    out = [(first, first)]
    for p in pieces[1:]:
        out.append((first, p))
    return out


def specifier_words(specifier):
    return [x.text for x in specifier]


def is_qualified(d, name):
    texts = [x.text for x in d]
    for k, x in enumerate(d):
        if x is name:
            return k > 0 and texts[k - 1] == "::"
    return False


def function_name(head):
    tl = strip_prefix(head)
    texts = [x.text for x in tl]
    for k, t in enumerate(texts):
        if t == "(" and k > 0:
            prev = texts[k - 1]
            if prev == "operator":
                continue
            if prev not in PAREN_TYPE_WORDS:
                return prev
    return None


def read_declarator(specifier, d, kind, words):
    """(name token, type words, pointer ops, bit width) of an object, the
    string "function" for a function, None when it cannot be read."""
    toks = [x for x in d]
    # cut an initializer
    cut = len(toks)
    depth = 0
    angle = 0
    prev = None
    for k, x in enumerate(toks):
        t = x.text
        if t in ("(", "[", "[["):
            depth += 1
        elif t in (")", "]", "]]"):
            depth -= 1
        elif depth == 0 and t == "<" and prev and re.match(r"^[A-Za-z_]\w*$", prev) and prev != "operator":
            angle += 1
        elif depth == 0 and t == ">" and angle > 0:
            angle -= 1
        elif depth == 0 and angle == 0 and prev != "operator" and (t == "=" or t == "{}"):
            cut = k
            break
        elif depth == 0 and angle == 0 and t == ":" and kind in ("record",) and prev != ":" and \
                (k + 1 < len(toks) and toks[k + 1].text != ":"):
            cut = k  # a bit-field width
            break
        prev = t
    decl = toks[:cut]
    after = toks[cut:]
    if not decl:
        return None
    # find a function's parameter list: a top-level ( after a name
    depth = 0
    angle = 0
    prev = None
    for k, x in enumerate(decl):
        t = x.text
        if prev == "operator":
            return "function"
        if t == "(" and depth == 0 and angle == 0:
            before = decl[k - 1].text if k > 0 else None
            if before in PAREN_TYPE_WORDS:
                pass
            elif k + 1 < len(decl) and decl[k + 1].text in ("*", "&", "&&", "^") or \
                    (k + 3 < len(decl) and decl[k + 2].text == "::" and decl[k + 3].text == "*"):
                return name_and_type(decl, after, kind)  # a pointer to function or member: an object
            elif before and (re.match(r"^[A-Za-z_~]\w*$", before) or before in (">", "]")):
                if kind in ("record",):
                    return "function"
                close = match_close(decl, k)
                inner = decl[k + 1:close]
                if kind == "function":
                    # a block-scope static cannot declare a function
                    return name_and_type(decl[:k], after, kind) if inner else None
                if looks_like_parameters(inner):
                    return "function"
                return name_and_type(decl[:k], after, kind)
            elif before == ")":
                return "function"
        if t in ("(", "[", "[["):
            depth += 1
        elif t in (")", "]", "]]"):
            depth -= 1
        elif depth == 0 and t == "<" and prev and re.match(r"^[A-Za-z_]\w*$", prev):
            angle += 1
        elif depth == 0 and t == ">" and angle > 0:
            angle -= 1
        prev = t
    return name_and_type(decl, after, kind)


def looks_like_parameters(inner):
    if not inner:
        return True
    for p in split_commas(inner):
        texts = [x.text for x in p if x.text not in ("const", "volatile")]
        if "=" in texts:
            texts = texts[:texts.index("=")]
        if not texts:
            return False
        if any(x.kind == "lit" for x in p[:len(texts)]):
            return False
        if texts[0] in BUILTIN_TYPES or texts[0] in ("std", "struct", "class", "typename", "..."):
            continue
        if len(texts) == 1:
            if re.match(r"^k[A-Z]|^[a-z_]", texts[0]):
                return False  # a value
            continue
        if texts[-1] in ("*", "&", "&&", ">", "]") or re.match(r"^[A-Za-z_]\w*$", texts[-1]):
            if any(t in (".", "->", "+", "-", "/", "%", "!", "?") for t in texts):
                return False
            continue
        return False
    return True


def name_and_type(decl, after, kind):
    """Split `[specifiers] type ptr-ops name [arrays]` (or `(*name)(...)`)."""
    # a pointer to function or member: `R (*name)(...)`
    texts = [x.text for x in decl]
    angle = 0
    for k, t in enumerate(texts):
        if t == "<" and k > 0 and re.match(r"^[A-Za-z_]\w*$", texts[k - 1]):
            angle += 1
        elif t == ">" and angle > 0:
            angle -= 1
        if angle == 0 and t == "(" and k + 1 < len(texts) and (texts[k + 1] in ("*", "&") or "::" in texts[k + 1:k + 3]):
            close = match_close(decl, k)
            ids = [x for x in decl[k + 1:close] if x.kind == "id" and x.text not in ("const",)]
            if not ids:
                return None
            return ids[-1], texts[:k], ["*"], None
    # strip trailing arrays
    end = len(decl)
    while end > 0 and decl[end - 1].text == "]":
        # walk back to its [
        depth = 0
        k = end - 1
        while k >= 0:
            if decl[k].text == "]":
                depth += 1
            elif decl[k].text == "[":
                depth -= 1
                if depth == 0:
                    break
            k -= 1
        if k < 0:
            return None
        end = k
    if end == 0:
        return None
    name = decl[end - 1]
    if name.kind != "id" or name.text in BUILTIN_TYPES or name.text in SPECIFIERS:
        return None
    before = decl[:end - 1]
    # the type words and the pointer ops at top level
    type_toks = []
    type_words = []
    ptr_ops = []
    depth = 0
    angle = 0
    prev = None
    for x in before:
        t = x.text
        if t in ("(", "[", "[["):
            depth += 1
        elif t in (")", "]", "]]"):
            depth -= 1
        elif depth == 0 and t == "<":
            angle += 1
        elif depth == 0 and t == ">" and angle > 0:
            angle -= 1
        elif depth == 0 and angle == 0 and t in ("*", "&", "&&"):
            ptr_ops.append(t)
            prev = t
            continue
        elif depth == 0 and angle == 0 and t == "const" and ptr_ops:
            ptr_ops.append(t)
            prev = t
            continue
        if not ptr_ops:
            type_toks.append(x)
        type_words.append(t)
        prev = t
    core = [w for w in type_words if w not in SPECIFIERS or w == "const"]
    if not any(re.match(r"^[A-Za-z_]\w*$", w) and w != "const" for w in core):
        return None  # no type: not an object we can read
    return name, type_words, ptr_ops, type_toks


def base_type(type_words):
    """The outermost type name: `std::unique_ptr<X>` -> unique_ptr; `Shared<int>` -> Shared."""
    depth = 0
    base = None
    for w in type_words:
        if w == "<":
            depth += 1
        elif w == ">":
            depth -= 1
        elif depth == 0 and re.match(r"^[A-Za-z_]\w*$", w) and w not in SPECIFIERS and w != "decltype":
            base = w
    return base


def is_shared_type(type_words, ptr_ops):
    if "*" in ptr_ops:
        return False
    return base_type(type_words) in ("Shared", "atomic")


def typed(specifier, type_words, ptr_ops, records):
    words = specifier + type_words
    if "constexpr" in words or "thread_local" in words:
        return True
    if "&" in ptr_ops or "&&" in ptr_ops:
        if "*" not in ptr_ops or ptr_ops.index("*") < max(i for i, p in enumerate(ptr_ops) if p in ("&", "&&")):
            return True
    if "*" in ptr_ops:
        last = len(ptr_ops) - 1 - ptr_ops[::-1].index("*")
        return "const" in ptr_ops[last + 1:]
    # const at the outermost level of the type
    depth = 0
    for w in words:
        if w == "<":
            depth += 1
        elif w == ">":
            depth -= 1
        elif depth == 0 and w == "const":
            return True
    base = base_type(type_words)
    if base and SAFE_TYPES.search(base):
        return True
    if base == "array":
        # std::array<T, N>: as T
        inner = type_words[type_words.index("<") + 1:] if "<" in type_words else []
        elem = base_type([w for w in inner if w != ","][:-1]) if inner else None
        if elem and (SAFE_TYPES.search(elem) or elem in records):
            return True
    if base in records:
        return True
    return False


def declared_type(src, name, line):
    """The type named where `name` is declared nearest above `line` in this file."""
    pat = re.compile(r"\b([A-Z]\w*)\b(?:\s*<[^;()]*>)?((?:\s*[*&]|\s*const\b)*)\s*\b" + re.escape(name) +
                     r"\b\s*[,;)=\[{(]")
    for k in range(line, -1, -1):
        m = pat.search(src.lines[k].split("//", 1)[0])
        if m and m.group(1) not in ("return",):
            return m.group(1), m.group(2).count("*")
    return None, 0


# ---------------------------------------------------------------- running

def library_files(root):
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".hpp", ".cc", ".inc"):
            continue
        rel = path.relative_to(root)
        if rel.parts[0] in SKIPPED_FOLDERS or rel.parts[0].startswith("."):
            continue
        yield rel.as_posix(), path


def check_texts(texts):
    """texts: [(rel, text)]. The checker after reading them all."""
    c = Checker()
    # records first, so that a member typed by a record declared later in
    # another file is known: two passes
    sources = []
    for rel, text in texts:
        try:
            sources.append((rel, Source(rel, text)))
        except ParseError as e:
            sources.append((rel, e))
    pre = Checker()
    for rel, src in sources:
        pre.read(rel, src)
    c.known = {k for k in pre.records if k not in pre.value_records}
    for rel, src in sources:
        c.read(rel, src)
    c.finish()
    return c


def run_tree(count=False):
    texts = [(rel, path.read_text(encoding="latin-1")) for rel, path in library_files(ROOT)]
    c = check_texts(texts)
    for f in c.faults:
        print(f)
    if count:
        k = c.counts
        print(f"{len(texts)} files: {k['records']} records, {k['members']} members, {k['objects']} namespace-scope "
              f"objects, {k['statics']} function statics; typed {k['typed']}, said {k['said']}, "
              f"by their record {k['record-said']}; {len(c.shared_records)} records hold shared words; "
              f"{len(c.memcopies)} memcpy/memmove read", file=sys.stderr)
    if c.faults:
        print(f"{len(c.faults)} words more than one thread can reach are neither typed nor said to be one thread's",
              file=sys.stderr)
        return 1
    return 0


def main(argv):
    if "--self-test" in argv:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import check_shared_words_test
        return check_shared_words_test.run()
    return run_tree(count="--count" in argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
