"""The area of one of three shapes, picked by index, n times: structural pattern matching over
three dataclasses, each case binding the fields."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Circle:
    r: int


@dataclass(frozen=True)
class Rect:
    w: int
    h: int


@dataclass(frozen=True)
class Tri:
    b: int
    h: int


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
