"""A short tour of what the quorvex module offers so far."""
import quorvex

print("quorvex module:", quorvex.__spec__.origin)
print("exports:", sorted(name for name in dir(quorvex) if not name.startswith("_")))
