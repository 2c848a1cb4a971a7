"""The area of one of three shapes, picked by index, n times: structural pattern matching over
three small classes, each case binding the fields."""


class Circle:
    __slots__ = ("r",)
    __match_args__ = ("r",)

    def __init__(self, r):
        self.r = r


class Rect:
    __slots__ = ("w", "h")
    __match_args__ = ("w", "h")

    def __init__(self, w, h):
        self.w = w
        self.h = h


class Tri:
    __slots__ = ("b", "h")
    __match_args__ = ("b", "h")

    def __init__(self, b, h):
        self.b = b
        self.h = h


def area(s):
    match s:
        case Circle(r):
            return 3 * r * r
        case Rect(w, h):
            return w * h
        case Tri(b, h):
            return b * h // 2


def run(n):
    shapes = [Circle(1), Rect(2, 3), Tri(4, 5)]
    acc = 0
    for i in range(n):
        acc += area(shapes[i % 3])
    return acc
