"""EDN text of plain Python data, for the benchmarks that time readers on generated documents."""

import json


def edn_text(value, keyword_keys=False):
    """EDN of dict, list, str, int, float, bool and None; dict keys become keywords when
    `keyword_keys`, else strings. Map entries are separated by commas, which EDN reads as white
    space."""
    if value is None:
        return "nil"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + " ".join(edn_text(v, keyword_keys) for v in value) + "]"
    if isinstance(value, dict):
        parts = []
        for k, v in value.items():
            key = ":" + k if keyword_keys else edn_text(k)
            parts.append(key + " " + edn_text(v, keyword_keys))
        return "{" + ", ".join(parts) + "}"
    raise TypeError(type(value))
