"""Word splitting checked against a small reference model of the quoting rules.

The model below is written from the rules, independently of the terminal's
state machine: it scans ahead with find() instead of keeping a state. What
the terminal shows of a split: echo joins the words after it with blanks, cd
names its first word in its error text, a malformed line is refused as a
whole, and an unknown first word is named in "command not found".
"""
from hypothesis import given, settings, strategies as st

from moxtile import PyFs, PyTerm

MALFORMED = "The command was not correctly formatted"
COMMANDS = {"cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"}
BLANKS = b" \t\n"


def reference_split(line: bytes):
    """The words of `line`, or None when it is malformed."""
    words = []
    i, n = 0, len(line)
    while True:
        while i < n and line[i] in BLANKS:
            i += 1
        if i == n:
            return words
        if line.startswith(b"\\\n", i):
            i += 2  # a line continuation where a word would begin: no word
            continue
        if line[i] == ord("#"):
            end = line.find(b"\n", i)
            if end < 0:
                return words
            i = end + 1
            continue
        word = bytearray()
        while i < n and line[i] not in BLANKS:
            c = line[i]
            if c == ord("'"):
                end = line.find(b"'", i + 1)
                if end < 0:
                    return None
                word += line[i + 1:end]
                i = end + 1
            elif c == ord('"'):
                i += 1
                while True:
                    if i >= n:
                        return None
                    c = line[i]
                    if c == ord('"'):
                        i += 1
                        break
                    if c == ord("\\"):
                        if i + 1 >= n:
                            return None
                        escaped = line[i + 1]
                        if escaped in b'"$`\\':
                            word.append(escaped)
                        elif escaped != ord("\n"):
                            word += bytes([c, escaped])
                        i += 2
                    else:
                        word.append(c)
                        i += 1
            elif c == ord("\\"):
                if i + 1 >= n:
                    return None
                if line[i + 1] != ord("\n"):
                    word.append(line[i + 1])
                i += 2
            else:
                word.append(c)
                i += 1
        words.append(bytes(word))


# Mostly the bytes that matter to quoting, with some ordinary and non-ASCII ones.
lines = st.text(alphabet=list("'\"\\#  \t\n$`ab\r-") + ["\u00e9", "\u20ac"], max_size=40)

TERM = PyTerm(PyFs())  # the tree stays empty: only echo and cd run on it


def run(line):
    try:
        return True, TERM.exec(line)
    except ValueError as error:
        return False, str(error)


@settings(max_examples=1500, deadline=None)
@given(lines)
def test_echo_joins_the_words_of_the_model(tail):
    line = "echo " + tail
    words = reference_split(line.encode())
    if words is None:
        assert run(line) == (False, MALFORMED)
    else:
        assert words[0] == b"echo"
        assert run(line) == (True, b" ".join(words[1:]).decode())


@settings(max_examples=1500, deadline=None)
@given(lines)
def test_cd_names_the_first_word_of_the_model(tail):
    line = "cd " + tail
    words = reference_split(line.encode())
    if words is None:
        assert run(line) == (False, MALFORMED)
        return
    if len(words) == 1:
        assert run(line) == (False, "cd: missing argument")
        return
    arg = words[1].decode()
    name = arg[1:] if arg.startswith("/") else arg
    if name in ("", ".", ".."):
        assert run(line) == (True, "")  # all of these are the root here
    else:
        assert run(line) == (False, f"cd: cannot access '{arg}': {name}: Inode not found")


@settings(max_examples=1500, deadline=None)
@given(lines)
def test_any_line_is_refused_or_dispatched_as_the_model_says(line):
    words = reference_split(line.encode())
    if words is None:
        assert run(line) == (False, MALFORMED)
    elif not words:
        assert run(line) == (True, "")
    elif words[0].decode() not in COMMANDS:
        assert run(line) == (False, f"{words[0].decode()}: command not found")
