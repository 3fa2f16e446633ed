"""Stream continuation shared by the pickle tests and their spawned worker.

A spawned interpreter imports this module by name, so it must stay free of
test-only imports.
"""


def run_ops(instance, ops):
    """Apply ("encrypt" | "decrypt" | "activate", argument) steps in order.

    Returns the outputs as bytes (None for activate), so they can be
    compared across instances and processes.
    """
    outputs = []
    for op, arg in ops:
        if op == "encrypt":
            outputs.append(bytes(instance.encrypt(bytearray(arg))))
        elif op == "decrypt":
            outputs.append(bytes(instance.decrypt(bytearray(arg))))
        elif op == "activate":
            outputs.append(instance.activate(list(arg)))
        else:
            raise ValueError(f"unknown op {op!r}")
    return outputs


def continue_stream(job):
    """Worker entry: (instance, ops) -> (outputs, state before, state after)."""
    instance, ops = job
    before = instance.__reduce__()[1][2]
    outputs = run_ops(instance, ops)
    return outputs, before, instance.__reduce__()[1][2]
