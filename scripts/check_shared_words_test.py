"""The shared-word check's own cases: each text is read as one library file
and must give exactly the faults listed (by a word each fault names).
Run by `scripts/check_shared_words.py --self-test`."""
import check_shared_words as check

RECORD = "struct ModuleRecord {{\n  Shared<int32_t> Type;\n{body}\n}};\n"

# (name, file, text, words the faults name; [] when it must pass)
CASES = [
    # The slip forms: each is neither typed nor said, and fails.
    ("alignas", "engine/m.h", RECORD.format(body="  alignas(8) int64_t A;"), ["A"]),
    ("function object", "engine/m.h", RECORD.format(body="  std::function<void(int)> B;"), ["B"]),
    ("sized array", "engine/m.h", RECORD.format(body="  int64_t G[sizeof(int64_t)];"), ["G"]),
    ("decltype", "engine/m.h", RECORD.format(body="  decltype(Type) H;"), ["H"]),
    ("static member", "engine/m.h", RECORD.format(body="  static int32_t S;"), ["S"]),
    ("nested record", "engine/m.h", RECORD.format(body="  struct Inner {\n    int32_t N;\n  } In;"), ["N"]),
    ("two declarators", "engine/m.h", RECORD.format(body="  int32_t C, D = 0;"), ["C", "D"]),
    ("function pointer", "engine/m.h", RECORD.format(body="  void (*Fn)(int32_t);"), ["Fn"]),
    ("bit-field", "engine/m.h", RECORD.format(body="  uint32_t Bits : 4;"), ["Bits"]),
    ("pointer to const", "engine/m.h", RECORD.format(body="  const char* Name;"), ["Name"]),
    ("attribute", "engine/m.h", RECORD.format(body="  [[no_unique_address]] Empty E;"), ["E"]),
    ("file-scope object", "engine/m.cpp", "namespace {\nint32_t g_count = 0;\n}\nstatic float g_gain;\n",
     ["g_count", "g_gain"]),
    ("function static", "engine/m.cpp", "void F() {\n  if (true) {\n    static int32_t calls = 0;\n  }\n}\n",
     ["calls"]),
    ("static in a lambda", "engine/m.cpp", "auto kRun = [] { static int32_t runs; return runs; };\n",
     ["kRun", "runs"]),
    ("local record", "engine/m.cpp", "void F() {\n  struct Local {\n    int32_t x;\n  };\n}\n", ["x"]),
    ("local tables", "engine/m.cpp", "void F() {\n  typedef struct {\n    int32_t a;\n  } Row;\n"
     "  const struct {\n    int32_t b;\n  } kRows[2] = {{1}, {2}};\n}\n", ["a", "b"]),
    ("static after a label", "engine/m.cpp",
     "void F(int k) {\n  switch (k) {\n    case 1: static int32_t once;\n  }\n  if (k) static int32_t twice;\n}\n",
     ["once", "twice"]),
    ("static in a lambda in parentheses", "engine/m.cpp",
     "// one thread: start-up\nTable g_table(([] {\n  static int32_t made;\n  return made;\n})());\n", ["made"]),
    ("paren-initialized object", "engine/m.cpp", "Table g_table(16, 2);\n", ["g_table"]),
    ("unreadable member", "engine/m.h", RECORD.format(body="  int32_t = 5;"), ["cannot read"]),
    ("unbalanced", "engine/m.h", "struct R {\n  int32_t a[4;\n};\n", ["cannot read"]),
    ("comment past a blank line", "engine/m.h",
     RECORD.format(body="  // one thread: audio\n\n  int32_t Far;"), ["Far"]),
    ("comment further up", "engine/m.h",
     RECORD.format(body="  // one thread: audio\n  int32_t Near;\n  // the next ones\n  int32_t Other;"), ["Other"]),
    ("unknown owner", "engine/m.h", RECORD.format(body="  int32_t W;  // one thread: nobody"), ["W"]),
    ("value held without owner", "engine/m.h",
     "// one thread: value\nstruct Point {\n  int32_t x, y;\n};\nstruct Box {\n  Point At;\n};\n", ["At"]),
    ("memcpy into a record of words", "engine/m.cpp",
     "struct R {\n  Shared<int32_t> w;\n};\nvoid F(R& d, const R& s) {\n"
     "  std::memcpy(static_cast<void*>(&d), &s, sizeof(R));\n}\n", ["memcpy"]),
    ("memmove of records of words", "engine/m.cpp",
     "struct R {\n  Shared<int32_t> w;\n};\nstruct H {\n  R inner;\n};\nvoid F(H* d, H* s) {\n"
     "  std::memmove(static_cast<void*>(d), s, 2 * sizeof(H));\n}\n", ["memmove"]),
    ("memmove into a member's records", "engine/m.cpp",
     "struct R {\n  Shared<int32_t> w;\n};\nstruct Q {\n  R* items;  // one thread: audio\n};\nQ g_q;  // one thread: audio\n"
     "void F(int n) {\n  std::memmove(static_cast<void*>(g_q.items), g_q.items + 1, n);\n}\n", ["memmove"]),
    ("memcpy through an untold cast", "engine/m.cpp",
     "void F(int n) {\n  std::memcpy(static_cast<void*>(Slot(n)), Other(n), 16);\n}\n", ["memcpy"]),
    ("memcpy over a member range", "engine/m.cpp",
     "struct R {\n  Shared<int32_t> a;\n  float b;  // one thread: audio\n  Shared<int32_t> c;\n"
     "  float d;  // one thread: audio\n};\nvoid F(R& dst, const R& src) {\n"
     "  std::memcpy(&dst.b, &src.b, reinterpret_cast<const char*>(&src.d + 1) - "
     "reinterpret_cast<const char*>(&src.b));\n}\n", ["memcpy"]),

    # What passes.
    ("typed and const", "engine/m.h", RECORD.format(body=(
        "  Shared<int64_t> A[4];\n  std::atomic<void (*)()> W{};\n  const int32_t K = 1;\n"
        "  static constexpr int32_t kSize = 4;\n  std::mutex Lock;\n  std::condition_variable Wake;\n"
        "  const char* const kName = \"x\";\n  int32_t& Ref;\n  std::array<Shared<float>, 4> Row;")), []),
    ("said", "engine/m.h", RECORD.format(body=(
        "  int32_t A;  // one thread: audio\n  // Kept by the render.\n  // one thread: graph owner\n"
        "  int32_t B;\n  float C[2];\n  int32_t D,  // one thread: holder of g_lock\n      E;")), []),
    ("said for the record", "engine/m.h",
     "// one thread: interface, a page's layout\nstruct Page {\n  int32_t a, b;\n  static int32_t count;\n"
     "  struct Row {\n    float y;\n  } rows[4];\n};\n", []),
    ("value held with owner", "engine/m.h",
     "// one thread: value\nstruct Point {\n  int32_t x, y;\n};\nstruct Box {\n  Point At;  // one thread: video\n};\n",
     []),
    ("record of typed words", "engine/m.h",
     "struct Words {\n  Shared<int32_t> a;\n};\nstruct Holder {\n  Words w;\n  Words more[2];\n};\n", []),
    ("functions and the rest", "engine/m.h", RECORD.format(body=(
        "  void Reset(int32_t to);\n  int32_t Get() const { static_assert(true); return 0; }\n"
        "  ModuleRecord() : Type(0), Other{1} {}\n  bool operator<(const ModuleRecord& o) const;\n"
        "  ModuleRecord& operator=(ModuleRecord&&) = default;\n  friend struct Maker;\n  using Fn = void (*)(int);\n"
        "  enum class Kind : uint8_t { A, B };\n  struct Ahead;\n  template <class T>\n  T As() const;\n"
        " public:\n  virtual ~ModuleRecord() = default;\n  explicit operator bool() const;\n"
        "  [[nodiscard]] int32_t Count() const noexcept;")), []),
    ("declared in a header", "engine/m.h",
     "namespace Tarvelo {\n// one thread: start-up\nextern int32_t g_mode;\nvoid Run(int32_t (*cb)(int));\n"
     "template <class R>\n  requires(sizeof(R) > 0)\nvoid Copy(R& d);\n}\n", []),
    ("defined where a header declares it", "engine/m.cpp",
     "extern int32_t g_mode;  // one thread: start-up\nint32_t g_mode = 0;\nint32_t Record::count = 0;\n"
     "int main(int argc, char** argv) { return Run(argc, argv); }\n", []),
    ("function statics typed", "engine/m.cpp",
     "int32_t F() {\n  static const int32_t kTable[2] = {1, 2};\n  static std::atomic<int32_t> calls{0};\n"
     "  thread_local int32_t mine = 0;\n  static int32_t hits;  // one thread: interface\n"
     "  auto f = [](int x) { return static_cast<int32_t>(x); };\n  return f(calls++);\n}\n", []),
    ("the named copy", "basics/w.h",
     "template <class R>\nvoid CopyShared(R& dst, const R& src) noexcept {\n"
     "  std::memcpy(static_cast<void*>(&dst), &src, sizeof(R));\n}\nstruct R {\n  Shared<int32_t> w;\n};\n"
     "void F(R** d, R* const* s, float* f, const float* g) {\n  std::memcpy(d, s, 4 * sizeof(R*));\n"
     "  std::memcpy(f, g, sizeof(float));\n}\n", []),
]


def run():
    failed = 0
    for name, rel, text, expected in CASES:
        c = check.check_texts([(rel, text)])
        faults = list(c.faults)
        ok = len(faults) == len(expected) and all(
            any(w in f for f in faults) for w in expected)
        if not ok:
            failed += 1
            print(f"FAIL {name}: expected {expected}, got:")
            for f in faults:
                print(f"    {f}")
    print(f"{len(CASES) - failed} of {len(CASES)} cases of the shared-word check hold")
    return 1 if failed else 0
