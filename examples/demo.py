"""A short tour of quorvex from Python: evaluate programs, exchange data, call Python from the
language, and handle the language's effects in Python."""

from fractions import Fraction

import quorvex
from quorvex import Engine, Keyword


def show(label, value):
    print(f"{label:<34} {value!r}")


# 1. Programs in a bare engine: definitions persist from one call to the next.
engine = Engine.bare()
engine.eval("(defn fact [n] (loop [i n acc 1] (if (< i 2) acc (recur (- i 1) (* acc i)))))")
show("(fact 20)", engine.eval("(fact 20)"))
show("exact ratios", engine.eval("(+ 1/3 (/ 1 6))"))
show("collections come back as Python", engine.eval('[1 "two" :three {:k #{4}}]'))

# 2. Python data goes in as ordinary objects.
engine.define("order", {"qty": 3, "price": Fraction(5, 2), "tags": ["new", Keyword("gift")]})
show('(* (get order "qty") ...)', engine.eval('(* (get order "qty") (get order "price"))'))

# 3. A Python function, called by the language like any function.
engine.define_fn("py-hypot", lambda a, b: (a * a + b * b) ** 0.5)
show("(py-hypot 3 4)", engine.eval("(py-hypot 3 4)"))

# 4. An effect handled in Python: the program performs console operations, and the handler
# answers with the value the perform evaluates to.
transcript = []


def console(op, args):
    if op == "read-line":
        return ("resume", "Ada")
    transcript.append((op, args))
    return ("resume", None)


engine.register_handler("console", console)
engine.eval(
    """
    (defn greet []
      (console/print "name? ")
      (let [name (console/read-line)]
        (console/println [:hello name])
        name))
    """
)
show("(greet)", engine.eval("(greet)"))
show("what the handler saw", transcript)

# 5. Errors arrive as Python exceptions.
for src in ["(fact", "(undefined-fn 1)", "(/ 1 0)"]:
    try:
        engine.eval(src)
    except quorvex.QuorvexError as exc:
        show(src, f"{type(exc).__name__}: {exc}")

# 6. An engine with defaults prints through its console handler to standard output.
print("\nconsole output of Engine():", flush=True)
Engine().eval('(console/println "hello from the language") (console/println {:answer 42})')

# 7. A default engine has the prelude: macros such as ->> and when, sequence functions, optic
# operators. This program declares a data type, takes it apart with match, reports through an
# effect whose handler is written in the language, and updates nested data through optics.
print("\na program on Engine():", flush=True)
engine = Engine()
results = engine.eval(
    """
    (defdata Shape (Circle [r]) (Rect [w h]))
    (defn area [s] (match s (Circle r) (* 3 r r) (Rect w h) (* w h)))

    (def Log (effect (note [msg])))
    (defn audit [shapes]
      (with-handler [Log]
        :handle (note [msg k] (do (println "  note: " msg) (k nil)))
        (loop [total 0 remaining shapes]
          (if (empty? remaining)
            total
            (let [a (area (first remaining))]
              (when (> a 10) (Log/note (str "large shape, area " a)))
              (recur (+ total a) (rest remaining)))))))

    (def inventory {:shapes [(Circle 1) (Rect 3 4) (Rect 1 2)] :stock [1 2 3]})
    [(audit (:shapes inventory))
     (->> (:shapes inventory) (map area) (filter even?) (reduce +))
     (over [:stock each] inc inventory)
     (+= [:stock 0] 10 inventory)]
    """
)
for label, value in zip(["total area", "even areas", "restocked", "first +10"], results):
    show(label, value if not isinstance(value, dict) else value[Keyword("stock")])
