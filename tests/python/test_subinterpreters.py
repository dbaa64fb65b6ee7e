"""The module belongs to the first interpreter of the process that imports it;
any other gets a clean ImportError, in either order, and the owner keeps
working. Each case runs in a child process (ownership lasts for the process)."""

import os
import subprocess
import sys
import textwrap

import pytest

MESSAGE = ("_quillmesh does not support subinterpreters: it is already initialised in another interpreter "
           "of this process")

PROBE = textwrap.dedent("""
    import sys
    try:
        import _interpreters as api  # 3.13 and later

        def make():
            # A legacy interpreter: an isolated one refuses any single-phase
            # module before its init function runs.
            return api.create("legacy")

        def run(i, code):
            failed = api.exec(i, code)
            if failed is not None:
                raise RuntimeError(failed)
    except ImportError:
        import _xxsubinterpreters as api  # 3.11 and 3.12

        def make():
            return api.create(isolated=False)

        def run(i, code):
            api.run_string(i, code)

    # Imports the module and queries it, or reports the refusal.
    ATTEMPT = '''
    try:
        from _quillmesh import PrefixSearch as P
    except ImportError as e:
        print(WHO, "ImportError", e)
    else:
        p = P.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"abcd"], 1)
        print(WHO, "answers" if p.fuzzy_match("a") == [("a", 1, 0)] else "wrong answer")
    '''

    sub = make()
    main_code, sub_code = "WHO = 'main'" + ATTEMPT, "WHO = 'sub'" + ATTEMPT
    steps = [lambda: exec(main_code), lambda: run(sub, sub_code)]
    if sys.argv[1] != "main first":
        steps.reverse()
    for _ in range(2):  # the second round: refused again, the owner still answers
        for step in steps:
            step()
""")


def has_interpreters_api():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(name)
            return True
        except ImportError:
            pass
    return False


@pytest.mark.skipif(not has_interpreters_api(), reason="this interpreter offers no sub-interpreter API")
@pytest.mark.parametrize("order", ["main first", "sub-interpreter first"])
def test_a_second_interpreter_gets_a_clean_import_error(order):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", PROBE, order], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    # One interpreter owns the module (the one whose import ran the init
    # function first: on some versions CPython runs it in the main
    # interpreter whatever imports first), the other is refused each time.
    owners = {line.split()[0] for line in lines if line.endswith(" answers")}
    assert len(owners) == 1, lines
    (owner,) = owners
    other = "sub" if owner == "main" else "main"
    expected = [f"{owner} answers", f"{other} ImportError {MESSAGE}"]
    assert sorted(lines) == sorted(expected * 2), lines
