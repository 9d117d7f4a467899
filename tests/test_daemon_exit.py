"""The program exits cleanly while daemon threads save and load: at exit 3.12 and 3.13 end such threads by
unwinding their stacks where they wait for the interpreter."""
import pytest
from childrun import run


@pytest.mark.parametrize("seconds", ["0.1", "0.2", "0.3", "0.5", "0.8"])
def test_exit_while_daemon_threads_save_and_load(seconds, tmp_path):
    run("""
import threading, time
tree = D({f"s{i}": D({f"b{j}": B(values={f"p{k}": "x" * 50 for k in range(30)}) for j in range(5)}) for i in range(5)})
def work(path):
    while True:
        tree.save(path), tree["s0"]["b0"].save(path + ".d7ori"), D.load(path), B.load(path + ".d7ori")
for i in range(4):
    threading.Thread(target=work, args=(f"t{i}",), daemon=True).start()
time.sleep(float(sys.argv[1]))
""", args=[seconds], cwd=str(tmp_path))  # a crash fails the run
