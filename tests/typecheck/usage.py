"""Checked by mypy --strict against the installed stubs (see test_typing.py).

Every call marked `type: ignore[...]` is wrong and must stay flagged: --strict warns about an
ignore that is no longer needed, so a stub that lets a wrong call through fails the check.
"""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import tarnwick

F64 = NDArray[np.float64]
F32 = NDArray[np.float32]

x64: F64 = np.ones((4, 3))
w64: F64 = np.ones((3, 2))
b64: F64 = np.zeros(2)
v64: F64 = np.arange(5.0)
x32: F32 = np.ones((4, 3), dtype=np.float32)
w32: F32 = np.ones((3, 2), dtype=np.float32)
b32: F32 = np.zeros(2, dtype=np.float32)
v32: F32 = np.arange(5, dtype=np.float32)

assert_type(tarnwick.sum_of_squares([1.0, 2.0, 3]), float)
assert_type(tarnwick.sum_of_squares(range(4)), float)
assert_type(tarnwick.matrix_multiply([[1.0]], ((2.0,),)), list[list[float]])
assert_type(tarnwick.parallel_transform(data=(1.0, 2.0), factor=2), list[float])
assert_type(tarnwick.matmul_numpy(x64, w64), F64)
assert_type(tarnwick.matmul_numpy_f32(a=x32, b=w32), F32)
assert_type(tarnwick.parallel_map_numpy(v64, np.float32(0.5)), F64)
assert_type(tarnwick.parallel_map_numpy_f32(v32, 0.1), F32)
assert_type(tarnwick.sum_of_squares_numpy(v64), float)
assert_type(tarnwick.sum_of_squares_numpy_f32(v32), float)
assert_type(tarnwick.fused_linear(x64, w64, b64), F64)
assert_type(tarnwick.fused_linear_f32(x32, w32, bias=b32), F32)
assert_type(tarnwick.fused_linear_relu(input=x64, weights=w64, bias=b64), F64)
assert_type(tarnwick.fused_linear_relu_f32(x32, w32, b32), F32)
assert_type(tarnwick.fused_dropout_add(x64, x64, x64, scale=1.25), F64)
assert_type(tarnwick.fused_layer_norm(x64, eps=1e-5), F64)
assert_type(tarnwick.fused_softmax(x=x64), F64)
assert_type(tarnwick.relu_numpy(arr=v64), F64)
assert_type(tarnwick.relu_numpy_f32(v32), F32)
assert_type(tarnwick.sigmoid_numpy(v64), F64)
assert_type(tarnwick.sigmoid_numpy_f32(v32), F32)
assert_type(tarnwick.__all__, list[str])

# Wrong calls.
tarnwick.relu_numpy("bad")  # type: ignore[arg-type]
tarnwick.relu_numpy(v32)  # type: ignore[arg-type]
tarnwick.relu_numpy_f32(v64)  # type: ignore[arg-type]
tarnwick.matmul_numpy(x64, w32)  # type: ignore[arg-type]
tarnwick.sum_of_squares("abc")  # type: ignore[arg-type]
tarnwick.sum_of_squares(5)  # type: ignore[arg-type]
tarnwick.matrix_multiply([1.0], [[1.0]])  # type: ignore[list-item]
tarnwick.parallel_transform([1.0], "2")  # type: ignore[arg-type]
tarnwick.fused_layer_norm(x64)  # type: ignore[call-arg]
tarnwick.relu_numpy(data=v64)  # type: ignore[call-arg]
tarnwick.fused_softmax(x64, x64)  # type: ignore[call-arg]
text: str = tarnwick.sum_of_squares_numpy(v64)  # type: ignore[assignment]
