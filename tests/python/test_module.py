import quorvex


def test_module_imports_with_its_own_name():
    assert quorvex.__name__ == "quorvex"
    assert quorvex.__spec__.origin.endswith(".abi3.so")
