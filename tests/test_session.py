"""PyTerminalSession: real su/bash sessions as pool accounts.

Every test body runs in a child interpreter with a timeout (see
test_pool_helpers): a read blocks with the interpreter lock held.
"""
import os
import platform

import pytest

from test_pool_helpers import check_child, needs_accounts, tool_dir

pytestmark = needs_accounts

NO_PROCESS = "The process is None"


def test_shell_runs_as_the_account_in_its_home():
    check_child(
        """
        user = moxtile.PyUserPool().allocate()
        session = user.spawn()
        session.write(b"echo \\"<$(id -u)|$(id -un)|$PWD|$HOME>\\"\\n")
        expected = f"<{user.uid()}|{user.username()}|{user.home()}|{user.home()}>".encode()
        read_until(session, expected)
        """
    )


def test_read_sizes():
    check_child(
        """
        session = moxtile.PyUserPool().allocate().spawn()
        assert session.read(0) == b""
        assert session.read(buffer=0) == b""
        session.write(b"printf 'x%.0s' $(seq 1 3000); echo; echo end_$((2*21))\\n")
        seen = b""
        for _ in range(1000):
            # Until the marker has arrived more output is due, so neither read blocks.
            chunk = session.read()
            assert 0 < len(chunk) <= 1024, len(chunk)
            seen += chunk
            if b"end_42" in seen:
                break
            small = session.read(7)
            assert 0 < len(small) <= 7
            seen += small
            if b"end_42" in seen:
                break
        else:
            raise AssertionError("marker never arrived")
        """
    )


@pytest.mark.parametrize(
    "call, error, message",
    [
        ("session.read(-1)", OverflowError, None),
        ("session.read_err(buffer=-5)", OverflowError, None),
        ("session.read('10')", TypeError,
         "argument 'buffer': 'str' object cannot be interpreted as an integer"),
        ("session.write('echo hi\\\\n')", TypeError,
         "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        ("session.write(bytearray(b'x'))", TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        ("session.write()", TypeError,
         "PyTerminalSession.write() missing 1 required positional argument: 'data'"),
    ],
)
def test_argument_errors_leave_the_session_alone(call, error, message):
    check_child(
        f"""
        session = moxtile.PyUserPool().allocate().spawn()
        try:
            {call}
        except {error.__name__} as e:
            assert {message!r} is None or str(e) == {message!r}, str(e)
        else:
            raise AssertionError("no error")
        session.write(b"echo still_$((1+1))\\n")
        read_until(session, b"still_2")
        """
    )


@pytest.mark.parametrize("sigpipe", ["SIG_IGN", "SIG_DFL"])
def test_exit_gives_end_of_stream_then_broken_pipe(sigpipe):
    # At its default action SIGPIPE would end the caller instead of raising.
    check_child(
        f"""
        import signal
        signal.signal(signal.SIGPIPE, signal.{sigpipe})
        session = moxtile.PyUserPool().allocate().spawn()
        session.write(b"exit\\n")
        for _ in range(200):
            if session.read() == b"":
                break
        else:
            raise AssertionError("no end of stream")
        assert session.read() == b""
        assert session.read_err() == b""
        import time
        for _ in range(200):  # end of output may come a moment before su lets go of its input
            try:
                session.write(b"echo too late\\n")
            except ValueError as e:
                assert str(e) == ("Failed to write to the stdin of the process: "
                                  "Broken pipe (os error 32)"), str(e)
                break
            time.sleep(0.01)
        else:
            raise AssertionError("write after exit kept succeeding")
        session.close()
        """
    )


def test_closed_session_refuses_everything():
    check_child(
        f"""
        session = moxtile.PyUserPool().allocate().spawn()
        assert session.close() is None
        for call in (lambda: session.write(b"x"), session.read, session.read_err,
                     lambda: session.read(0)):
            try:
                call()
            except ValueError as e:
                assert str(e) == {NO_PROCESS!r}, str(e)
            else:
                raise AssertionError("closed session answered")
        session.close()
        """
    )


@pytest.mark.parametrize(
    "background",
    [
        "sleep 1000 &",
        "setsid sleep 1003 &",
        # Deaf to pkill's polite signal and to the hangup of the closing terminal.
        "trap '' TERM HUP; sleep 1001 & sleep 1002 &",
    ],
)
def test_release_leaves_no_process_of_the_account(background):
    check_child(
        f"""
        pool = moxtile.PyUserPool(1)
        user = pool.allocate()
        uid = user.uid()
        session = user.spawn()
        session.write({background!r}.encode() + b" echo started_$((3*3))\\n")
        read_until(session, b"started_9")
        assert account_processes(uid), "nothing started"
        del session, user
        left = account_processes(uid)
        assert not left, left
        """
    )


def test_dropping_the_user_while_a_session_lives():
    check_child(
        """
        pool = moxtile.PyUserPool(2)
        user = pool.allocate()
        name, uid = user.username(), user.uid()
        session = user.spawn()
        del user
        # Still allocated: the pool hands out another account meanwhile.
        other = pool.allocate()
        assert other.username() != name
        session.write(b"echo alive_$((5+5))\\n")
        read_until(session, b"alive_10")
        del session  # kills the shell, releases the account
        assert not account_processes(uid)
        again = pool.allocate()
        assert (again.username(), again.uid()) == (name, uid)
        """
    )


def test_two_sessions_of_one_account():
    check_child(
        """
        user = moxtile.PyUserPool().allocate()
        a, b = user.spawn(), user.spawn()
        a.write(b"echo from_a_$((1))\\n")
        b.write(b"echo from_b_$((2))\\n")
        read_until(b, b"from_b_2")
        read_until(a, b"from_a_1")
        """
    )


def test_the_shell_gets_no_descriptor_of_the_harness(tmp_path):
    # A root-only file the harness holds open without close-on-exec (as a
    # descriptor its own parent may have left it) must stay out of reach.
    secret = tmp_path / "secret"
    secret.write_text("harness-only-secret")
    secret.chmod(0o600)
    check_child(
        f"""
        fd = os.open({str(secret)!r}, os.O_RDONLY)
        os.dup2(fd, 77)  # inheritable
        session = moxtile.PyUserPool().allocate().spawn()
        session.write(b"cat <&77; echo; echo done_$((6*7))\\n")
        seen = read_until(session, b"done_42")
        assert b"harness-only-secret" not in seen, seen
        """
    )


def test_a_forked_copy_closing_leaves_the_shell_running():
    # The shell is the parent's: a forked worker closing its copy of the
    # session must not kill it (nor, its pid being reused, anything else).
    check_child(
        """
        session = moxtile.PyUserPool().allocate().spawn()
        pid = os.fork()
        if pid == 0:
            session.close()
            os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        session.write(b"echo alive_$((6*7))\\n")
        read_until(session, b"alive_42")
        """
    )


# add_key and keyctl, by machine; a tenant calls them through ctypes.
KEY_SYSCALLS = {"x86_64": (248, 250), "aarch64": (217, 219)}

# Run by a tenant as `python3 -c`: "store" adds a key to its session keyring,
# "fetch" looks one up there. The answer comes between "@" marks, built at run
# time so that the terminal's echo of the command never matches it.
KEY_PROBE = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
ADD_KEY, KEYCTL = {syscalls}
SESSION, SEARCH, READ = -3, 10, 11
def call(*args):
    result = libc.syscall(*(ctypes.c_long(a) if isinstance(a, int) else a for a in args))
    return result, ctypes.get_errno()
what, name = sys.argv[1], sys.argv[2].encode()
if what == "store":
    key, err = call(ADD_KEY, b"user", name, b"tenant-payload", 14, SESSION)
    answer = "stored" if key > 0 else "errno %d" % err
else:
    key, err = call(KEYCTL, SEARCH, SESSION, b"user", name, 0)
    if key < 0:
        answer = "missing" if err == 126 else "errno %d" % err
    else:
        buf = ctypes.create_string_buffer(64)
        n, _ = call(KEYCTL, READ, key, buf, 64)
        answer = "read " + buf.raw[:max(n, 0)].decode(errors="replace")
print("@" * 2 + answer + "@" * 2, flush=True)
"""


def test_tenants_share_no_session_keyring():
    # The harness has a session keyring of its own, as one started by a login
    # or a service manager does, and keeps a key there. Tenant A stores a key
    # in the session keyring its shell started with; tenant B, another account
    # running at the same time, looks for it there; A looks for the harness's.
    syscalls = KEY_SYSCALLS.get(platform.machine())
    if syscalls is None:
        pytest.skip(f"key system call numbers unknown for {platform.machine()}")
    python = next((p for p in ("/usr/bin/python3", "/bin/python3") if os.access(p, os.X_OK)), None)
    if python is None:
        pytest.skip("no python3 outside root's own directories for the tenants to run")
    check_child(
        f"""
        import ctypes, re
        libc = ctypes.CDLL(None, use_errno=True)
        ADD_KEY, KEYCTL = {syscalls}
        JOIN, SEARCH, SESSION = 1, 10, -3

        def call(*args):
            result = libc.syscall(*(ctypes.c_long(a) if isinstance(a, int) else a for a in args))
            return result, ctypes.get_errno()

        def probe(session, home, what, name):
            path = os.path.join(home, "key_probe.py")
            with open(path, "w") as f:
                f.write({KEY_PROBE.format(syscalls=syscalls)!r})
            os.chmod(path, 0o644)
            session.write(f"{python} key_probe.py {{what}} {{name}}; echo probed_$((6*7))\\n".encode())
            answers = re.findall(rb"@@([^@]*)@@", read_until(session, b"probed_42"))
            assert len(answers) == 1, answers
            return answers[0].decode()

        assert call(KEYCTL, JOIN, 0)[0] > 0  # gone with this process, and all in it
        harness_key, err = call(ADD_KEY, b"user", b"harness-key", b"harness-payload", 15, SESSION)
        assert harness_key > 0, err
        pool = moxtile.PyUserPool()
        a, b = pool.allocate(), pool.allocate()
        first, second = a.spawn(), b.spawn()
        stored = probe(first, a.home(), "store", "tenant-key")
        assert stored == "stored", stored
        fetched = probe(second, b.home(), "fetch", "tenant-key")
        assert fetched == "missing", f"another tenant's key: {{fetched}}"
        fetched = probe(first, a.home(), "fetch", "harness-key")
        assert fetched == "missing", f"the harness's key: {{fetched}}"
        found, _ = call(KEYCTL, SEARCH, SESSION, b"user", b"tenant-key", 0)
        assert found < 0, "the tenant's key reached the harness's session keyring"
        """
    )


def test_stderr_is_readable():
    # What reaches the error pipe is the host's su/bash business; the read
    # itself must work and give bytes.
    check_child(
        """
        session = moxtile.PyUserPool().allocate().spawn()
        session.write(b"exit\\n")
        while session.read():
            pass
        assert isinstance(session.read_err(), bytes)
        """
    )


def test_missing_su_is_reported_by_spawn(tmp_path):
    check_child(
        """
        user = moxtile.PyUserPool().allocate()
        try:
            user.spawn()
        except ValueError as e:
            assert str(e) == ("Failed to create the terminal session: "
                              "No such file or directory (os error 2)"), str(e)
        else:
            raise AssertionError("spawned without su")
        """,
        path=tool_dir(tmp_path, ["id", "pkill"]),
    )


def test_waiting_with_a_deadline_then_interrupting():
    # select waits on fileno() without the interpreter lock: another thread
    # runs meanwhile. Ctrl-C reaches the shell's terminal and ends the sleep;
    # asyncio's add_reader then waits for the next command's answer.
    check_child(
        f"""
        import asyncio, select, threading
        session = moxtile.PyUserPool().allocate().spawn()
        # After the marker the shell prints nothing until the sleep is over.
        session.write(b"echo started_$((6*7)); sleep 30; echo slept_$((6*7))\\n")
        seen = read_until(session, b"started_42")
        while b"\\n" not in seen.split(b"started_42", 1)[1]:
            seen += session.read()  # the end of the marker's line
        ticks = []
        waiting = threading.Event()

        def tick():
            waiting.wait()
            while len(ticks) < 5:
                ticks.append(1)
                threading.Event().wait(0.01)

        other = threading.Thread(target=tick)
        other.start()
        waiting.set()
        ready = select.select([session], [], [], 0.5)
        ticked = len(ticks)  # before this thread lets the other run again
        other.join()
        assert ready == ([], [], []), ready
        assert ticked == 5, ticked
        session.write(b"\\x03")
        session.write(b"echo answer_$((6*7))\\n")

        async def answer():
            loop = asyncio.get_running_loop()
            seen = b""
            while b"answer_42" not in seen:
                arrived = loop.create_future()
                loop.add_reader(session, arrived.set_result, None)
                await arrived
                loop.remove_reader(session)
                seen += session.read()
            return seen

        seen = asyncio.run(asyncio.wait_for(answer(), 60))
        assert b"slept_42" not in seen, seen
        fd = session.fileno()
        assert isinstance(fd, int) and fd > 2
        session.close()
        try:
            session.fileno()
        except ValueError as e:
            assert str(e) == {NO_PROCESS!r}, str(e)
        else:
            raise AssertionError("a closed session gave a descriptor")
        """
    )
