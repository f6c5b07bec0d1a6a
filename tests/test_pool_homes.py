"""Homes of untrusted accounts, attacked the way a tenant would: the homes root
taken over before the pool made it, and a home the wipe cannot cope with."""
import os
import shutil
import subprocess
import sys
import textwrap

from test_pool_helpers import check_child, needs_accounts

HOMES = "/tmp/tmp_user_home"
FIRST_NAMES = ["test_UKUKKUUK", "test_jii8OIPW", "test_9mP8mMxu"]  # a fresh pool's first
NOBODY = 65534
ROOT_REFUSED = "Failed to create the parent folder of the temporary home directory: "

# Run as the tenant that owns the homes root: keeps exchanging each name where
# the pool makes a home with a link to the target, so that what root made
# there turns into the link between its steps. Names the pool uses are picked
# up as they appear.
SWAPPER = textwrap.dedent(
    """
    import ctypes, errno, itertools, os, sys
    root, target, uid = sys.argv[1], sys.argv[2], int(sys.argv[3])
    os.setgroups([])
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)
    renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    AT_FDCWD, RENAME_EXCHANGE = -100, 2
    pairs = {}
    print("ready", flush=True)
    for rounds in itertools.count():
        if rounds % 64 == 0:
            for name in os.listdir(root):
                if not name.startswith(".") and name not in pairs:
                    pairs[name] = (f"{root}/{name}".encode(), f"{root}/.bait-{name}".encode())
        for home, bait in pairs.values():
            if renameat2(AT_FDCWD, home, AT_FDCWD, bait, RENAME_EXCHANGE) != 0:
                if ctypes.get_errno() == errno.ENOENT and not os.path.islink(bait):
                    if os.path.lexists(bait):  # a home root made earlier: out of the way
                        os.rename(bait, f"{root}/.old-{rounds}")
                    os.symlink(target, bait)
    """
)


@needs_accounts
def test_homes_root_taken_by_a_tenant_is_refused_and_nothing_is_given_away(tmp_path):
    target = tmp_path / "root_owned"
    target.write_text("root's")
    aside = f"{HOMES}.aside-{os.getpid()}"
    swapper = None
    try:
        # Missing, as after a reboot or a tmp cleaner, and made by a tenant
        # before the pool: its own directory, open to all.
        if os.path.lexists(HOMES):
            os.rename(HOMES, aside)
        os.mkdir(HOMES)
        os.chown(HOMES, NOBODY, NOBODY)
        os.chmod(HOMES, 0o777)
        for name in FIRST_NAMES:
            os.symlink(target, f"{HOMES}/{name}")
            os.lchown(f"{HOMES}/{name}", NOBODY, NOBODY)
        swapper = subprocess.Popen(
            [sys.executable, "-c", SWAPPER, HOMES, str(target), str(NOBODY)],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert swapper.stdout.readline() == "ready\n"
        out = check_child(
            """
            for _ in range(20):
                try:
                    user = moxtile.PyUserPool(1).allocate()
                except ValueError as e:
                    print(e)
                else:
                    print("allocated", user.home())
                    del user
            """,
            timeout=120,
        )
        assert swapper.poll() is None, "the tenant's swapper died"
        st = os.stat(target)
        assert (st.st_uid, st.st_gid) == (0, 0), "root gave its file away"
        assert target.read_text() == "root's"
        lines = out.splitlines()
        assert len(lines) == 20
        for line in lines:
            assert line.startswith(ROOT_REFUSED), line
            assert "owned by uid 65534" in line, line
    finally:
        if swapper is not None:
            swapper.kill()
            swapper.wait()
        if os.path.lexists(HOMES) and os.lstat(HOMES).st_uid != 0:
            shutil.rmtree(HOMES)
        if os.path.lexists(aside):
            if os.path.lexists(HOMES):  # remade meanwhile by another pool
                shutil.rmtree(aside)
            else:
                os.rename(aside, HOMES)


@needs_accounts
def test_home_too_deep_and_odd_for_a_naive_wipe_is_emptied(tmp_path):
    outside = tmp_path / "keep"
    outside.write_text("precious")
    check_child(
        f"""
        import resource, socket, stat
        pool = moxtile.PyUserPool(1)
        user = pool.allocate()
        name, home = user.username(), user.home()
        del user

        # What a tenant may leave behind, made here as root for speed.
        fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY)
        os.mkfifo("fifo", dir_fd=fd)
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(os.path.join(home, "sock"))
        sock.close()
        for odd in (b"new\\nline", b" spaced ", b"bad\\xff\\xfe", b"-rf"):
            os.close(os.open(odd, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
        os.close(os.open("setuid", os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=fd))
        os.chmod("setuid", 0o4755, dir_fd=fd)
        os.symlink({str(outside)!r}, "link", dir_fd=fd)
        os.mkdir("locked", 0, dir_fd=fd)
        locked = os.open("locked", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(os.open("inside", os.O_WRONLY | os.O_CREAT, 0, dir_fd=locked))
        os.close(locked)
        for _ in range(3000):  # far deeper than the descriptors we let it hold below
            os.mkdir("d", dir_fd=fd)
            deeper = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = deeper
        os.close(fd)

        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
        user = pool.allocate()
        assert (user.username(), user.home()) == (name, home)
        assert os.listdir(home) == []
        st = os.lstat(home)
        assert stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o700, oct(st.st_mode)
        assert (st.st_uid, st.st_gid) == (user.uid(), user.uid())
        """,
        timeout=300,
    )
    assert outside.read_text() == "precious"
