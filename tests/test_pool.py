"""PyUserPool and PyUser: allocation, reuse, homes and release of real accounts."""
import os
import stat

import pytest

import moxtile
from test_pool_helpers import check_child, needs_accounts, run_child, tool_dir

ALLOC_FAILED = "Failed to allocate a new user account"


@pytest.mark.parametrize("cls", [moxtile.PyUser, moxtile.PyTerminalSession])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1,), OverflowError, None),
        (("2",), TypeError, "argument 'user_count': 'str' object cannot be interpreted as an integer"),
        ((1, 2), TypeError, "PyUserPool.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ],
)
def test_pool_constructor_arguments(args, error, message):
    with pytest.raises(error) as info:
        moxtile.PyUserPool(*args)
    if message is not None:
        assert str(info.value) == message


def test_capacity_zero_refuses_without_running_a_tool(tmp_path):
    # An empty PATH: running id or useradd would be a fatal error, not a ValueError.
    check_child(
        f"""
        pool = moxtile.PyUserPool(0)
        for _ in range(2):
            try:
                pool.allocate()
            except ValueError as e:
                assert str(e) == {ALLOC_FAILED!r}, e
            else:
                raise AssertionError("allocated from an empty pool")
        """,
        path=str(tmp_path),
    )


@needs_accounts
def test_capacity_two_refuses_a_third_and_reuses_the_released_account():
    pool = moxtile.PyUserPool(user_count=2)
    a = pool.allocate()
    b = pool.allocate()
    assert a.username() != b.username() and a.uid() != b.uid()
    with pytest.raises(ValueError, match=f"^{ALLOC_FAILED}$"):
        pool.allocate()
    name, uid = a.username(), a.uid()
    del a
    again = pool.allocate()
    assert (again.username(), again.uid()) == (name, uid)


@needs_accounts
def test_released_accounts_come_back_last_in_first_out():
    pool = moxtile.PyUserPool()
    a, b = pool.allocate(), pool.allocate()
    names = a.username(), b.username()
    del a
    del b
    first, second = pool.allocate(), pool.allocate()
    assert (first.username(), second.username()) == (names[1], names[0])


@needs_accounts
def test_user_fields_home_and_string_form():
    user = moxtile.PyUserPool().allocate()
    name, uid, home = user.username(), user.uid(), user.home()
    assert name.startswith("test_") and len(name) == 13
    assert home == os.path.realpath(os.path.join("/tmp/tmp_user_home", name))
    st = os.stat(home)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (uid, uid, 0o700)
    assert os.listdir(home) == []
    assert str(user) == f"{{ username: {name}, uid: {uid}, home: {home} }}"


@needs_accounts
def test_home_is_wiped_on_reallocation_without_following_links(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep").write_text("precious")
    pool = moxtile.PyUserPool(1)
    user = pool.allocate()
    home = user.home()
    os.makedirs(os.path.join(home, "sub", "deeper"))
    with open(os.path.join(home, "sub", "deeper", "file"), "w") as f:
        f.write("old")
    os.symlink(outside, os.path.join(home, "link_to_outside"))
    os.symlink(outside / "keep", os.path.join(home, "sub", "link_to_file"))
    del user

    # Released, the home keeps its content until the account is handed out again.
    assert sorted(os.listdir(home)) == ["link_to_outside", "sub"]
    user = pool.allocate()
    assert user.home() == home
    assert os.listdir(home) == []
    assert (outside / "keep").read_text() == "precious"


@needs_accounts
def test_second_pool_adopts_existing_accounts_without_useradd(tmp_path):
    # Make sure the first proposed names exist, then allocate them again with no
    # useradd on PATH: a fresh pool proposes the same names and adopts them.
    pool = moxtile.PyUserPool()
    held = [pool.allocate(), pool.allocate()]
    expected = [u.username() for u in held]
    del held, pool
    out = check_child(
        """
        pool = moxtile.PyUserPool()
        users = [pool.allocate(), pool.allocate()]
        print(",".join(u.username() for u in users))
        """,
        path=tool_dir(tmp_path, ["id", "pkill"]),
    )
    assert out.strip().split(",") == expected


@needs_accounts
def test_failed_useradd_is_reported_and_refused(tmp_path):
    # id knows no account, so the first name is new whatever the host holds.
    fake_id = "#!/bin/sh\nexit 1\n"
    fake_useradd = "#!/bin/sh\necho 'useradd: refused by the test' >&2\nexit 1\n"
    path = tool_dir(tmp_path, ["pkill"], {"id": fake_id, "useradd": fake_useradd})
    result = run_child(
        f"""
        pool = moxtile.PyUserPool()
        try:
            pool.allocate()
        except ValueError as e:
            assert str(e) == {ALLOC_FAILED!r}, e
            print("refused")
        """,
        path=path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"
    assert "Failed to create the user account: useradd: refused by the test\n" in result.stderr


@needs_accounts
def test_release_without_pkill_warns_and_still_returns_the_account(tmp_path):
    result = run_child(
        """
        pool = moxtile.PyUserPool(1)
        user = pool.allocate()
        name = user.username()
        del user
        assert pool.allocate().username() == name
        """,
        path=tool_dir(tmp_path, ["id"]),
    )
    assert result.returncode == 0, result.stderr
    assert (
        "⚠️ Failed to kill all processes of the user: Failed to execute the command `pkill`: "
        "No such file or directory (os error 2)\n"
    ) in result.stderr


@needs_accounts
def test_release_with_nothing_running_writes_no_warning():
    result = run_child(
        """
        pool = moxtile.PyUserPool(1)
        user = pool.allocate()
        del user
        """
    )
    assert result.returncode == 0, result.stderr
    assert "⚠️" not in result.stderr


@needs_accounts
def test_forked_copy_of_a_pool_never_hands_out_the_parents_accounts():
    # A prefork harness: allocate, then fork a worker that allocates from the
    # inherited pool while the parent goes on allocating from the original.
    check_child(
        """
        pool = moxtile.PyUserPool(8)
        kept = pool.allocate()
        idle = pool.allocate()
        parents = {kept.uid(), idle.uid()}
        del idle  # idle in the parent's pool, still the parent's account
        report_r, report_w = os.pipe()
        done_r, done_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(report_r)
            os.close(done_w)
            try:
                held = [pool.allocate() for _ in range(2)]
                report = " ".join(str(u.uid()) for u in held)
            except BaseException as e:
                report = f"failed: {e!r}"
            os.write(report_w, report.encode())
            os.read(done_r, 1)  # hold them while the parent allocates
            os._exit(0)
        os.close(report_w)
        os.close(done_r)
        report = os.read(report_r, 1000).decode()
        after = [pool.allocate() for _ in range(2)]
        os.write(done_w, b"x")
        assert os.waitpid(pid, 0)[1] == 0
        assert not report.startswith("failed"), report
        worker = {int(uid) for uid in report.split()}
        assert len(worker) == 2, report
        assert not worker & parents, (worker, parents)
        assert not worker & {u.uid() for u in after}, (worker, [u.uid() for u in after])
        """
    )


@needs_accounts
@pytest.mark.parametrize("drop", ["collected", "at_exit"])
def test_forked_copy_of_a_user_leaves_the_parents_tenant_running(drop):
    # A forked worker inherits the parent's user; letting go of its copy must
    # not stop the processes of the parent's tenant.
    check_child(
        f"""
        import gc, subprocess
        pool = moxtile.PyUserPool(2)
        user = pool.allocate()
        uid = user.uid()
        tenant = subprocess.Popen(["sleep", "1000"], user=uid)
        pid = os.fork()
        if pid == 0:
            if {drop!r} == "collected":
                cycle = [user]
                cycle.append(cycle)
                del user, cycle
                gc.collect()
                os._exit(0)
            sys.modules["__main__"].inherited = user  # goes at interpreter exit
            return
        assert os.waitpid(pid, 0)[1] == 0
        try:
            tenant.wait(timeout=1)
        except subprocess.TimeoutExpired:
            pass
        else:
            raise AssertionError(f"the tenant was stopped: {{tenant.returncode}}")
        assert tenant.pid in account_processes(uid)
        tenant.kill()
        tenant.wait()
        """
    )


@needs_accounts
def test_pool_outlives_its_python_object_while_an_account_is_held():
    pool = moxtile.PyUserPool(1)
    user = pool.allocate()
    del pool
    assert user.username().startswith("test_")
    del user  # releases into the pool that only the user kept alive


def test_tool_that_cannot_start_is_an_ordinary_error_and_the_pool_goes_on(tmp_path):
    check_child(
        f"""
        pool = moxtile.PyUserPool(1)
        for _ in range(2):  # the first failure leaves nothing held or poisoned
            try:
                pool.allocate()
            except ValueError as e:
                assert str(e).startswith({ALLOC_FAILED + ": Failed to execute the command `id`: "!r}), e
            else:
                raise AssertionError("allocated without id")
        """,
        path=str(tmp_path),
    )
