"""Shared test helpers."""


def traceback_entries(exc):
    """(function name, file, line) of each traceback entry, innermost last."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def module_entries(exc):
    """The synthetic entries added by the module, innermost last."""
    return [e for e in traceback_entries(exc)
            if e[1] in ("modules/security/cprotection", "<stringsource>")]
