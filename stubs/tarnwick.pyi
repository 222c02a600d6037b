"""Fused NumPy kernels for a neural network's forward pass.

Every function takes its parameters by position or by keyword, never writes into its arguments
and returns a new object. Arrays must have exactly the dtype and number of dimensions a function
names: nothing is cast, reshaped or broadcast. Any layout is read in place (C or Fortran order,
transposed, sliced, reversed or broadcast views). A refused array raises :class:`TypeError`
with a fixed message and a note (:pep:`678`) saying what was expected and what was given.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "sum_of_squares",
    "matrix_multiply",
    "parallel_transform",
    "matmul_numpy",
    "matmul_numpy_f32",
    "parallel_map_numpy",
    "parallel_map_numpy_f32",
    "sum_of_squares_numpy",
    "sum_of_squares_numpy_f32",
    "fused_linear",
    "fused_linear_f32",
    "fused_linear_relu",
    "fused_linear_relu_f32",
    "fused_dropout_add",
    "fused_layer_norm",
    "fused_softmax",
    "relu_numpy",
    "relu_numpy_f32",
    "sigmoid_numpy",
    "sigmoid_numpy_f32",
]

# Annotations are written out in full, not through aliases, so that editors and the API
# reference show them. Scalars go through Python's float protocol (anything with __float__ or
# __index__); lists are read as sequences (list, tuple, range, ...), though a str is refused;
# arrays must have exactly the annotated dtype, nothing is cast.

def sum_of_squares(numbers: Sequence[SupportsFloat | SupportsIndex]) -> float:
    """Sum of the squares of a sequence of numbers.

    Parameters
    ----------
    numbers : sequence of float
        A list, tuple, range, 1-D array or any other sequence whose items convert to float
        (``int``, ``bool``, NumPy scalars, anything with ``__float__`` or ``__index__``). A
        ``str`` is refused although it is a sequence.

    Returns
    -------
    float
        ``x[0]*x[0] + x[1]*x[1] + ...``, added strictly left to right from -0.0, each square and
        each sum rounded to a 64-bit float. ``[-0.0]`` gives ``0.0``; a NaN gives NaN.

    Raises
    ------
    TypeError
        ``argument 'numbers': Can't extract `str` to `Vec``` for a string;
        ``argument 'numbers': '{type}' object cannot be cast as 'Sequence'`` for an object that
        is not a sequence (a set, a dict, a generator, a number); ``argument 'numbers': {message}``
        when an item does not convert to float.
    OverflowError
        When an item is an integer too large for a float (the interpreter's message).
    ValueError
        ``Input cannot be empty`` when the sequence is empty.
    RuntimeError
        ``Computation resulted in overflow`` when the sum is infinite.

    Notes
    -----
    Runs on the calling thread; the result depends on the values alone.

    Examples
    --------
    >>> import tarnwick
    >>> tarnwick.sum_of_squares([1.0, 2.0, 3.0])
    14.0
    >>> tarnwick.sum_of_squares(range(4))
    14.0
    """

def matrix_multiply(
    a: Sequence[Sequence[SupportsFloat | SupportsIndex]],
    b: Sequence[Sequence[SupportsFloat | SupportsIndex]],
) -> list[list[float]]:
    """Product of two matrices given as lists of rows.

    Parameters
    ----------
    a : sequence of sequences of float
        The left matrix, m rows of n numbers each.
    b : sequence of sequences of float
        The right matrix, n rows of p numbers each.

    Returns
    -------
    list of list of float
        m new lists of p floats. Entry (i, j) is ``a[i][0]*b[0][j] + a[i][1]*b[1][j] + ...``,
        added left to right from -0.0, each product and sum rounded on its own.

    Raises
    ------
    TypeError
        ``argument 'a': ...`` or ``argument 'b': ...`` when a matrix, or one of its rows, is not
        a sequence of numbers (the same messages as :func:`sum_of_squares`).
    ValueError
        ``Input cannot be empty`` when ``a`` or ``b`` has no rows (checked first);
        ``Matrix dimensions do not match`` when a first row is empty, the rows of a matrix
        differ in length, or the length of ``a``'s rows differs from the number of rows of
        ``b``.

    Notes
    -----
    Runs on the calling thread. Meant for small matrices held as lists; for arrays use
    :func:`matmul_numpy`.

    Examples
    --------
    >>> import tarnwick
    >>> tarnwick.matrix_multiply([[1.0, 2.0], [3.0, 4.0]], [[5.0, 6.0], [7.0, 8.0]])
    [[19.0, 22.0], [43.0, 50.0]]
    """

def parallel_transform(
    data: Sequence[SupportsFloat | SupportsIndex], factor: SupportsFloat | SupportsIndex
) -> list[float]:
    """Every number of a sequence multiplied by a factor, computed on the worker pool.

    Parameters
    ----------
    data : sequence of float
        The numbers (as for :func:`sum_of_squares`).
    factor : float
        Anything that converts to float.

    Returns
    -------
    list of float
        A new list, ``data[i] * factor`` for every i, each product rounded to a 64-bit float.

    Raises
    ------
    TypeError
        ``argument 'data': ...`` or ``argument 'factor': ...`` when an argument does not
        convert (``data`` is converted first, then ``factor``).
    OverflowError
        When ``factor`` or an item is an integer too large for a float.
    ValueError
        ``Input cannot be empty`` when ``data`` is empty (after both arguments converted).

    Notes
    -----
    The products are shared among the worker pool's threads; each element depends on its own
    value alone, so the result is the same for any number of threads.

    Examples
    --------
    >>> import tarnwick
    >>> tarnwick.parallel_transform([1.0, 2.0, 3.0], 2.0)
    [2.0, 4.0, 6.0]
    """

def matmul_numpy(a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
    """Matrix product of two 2-D float64 arrays, ``a @ b``.

    Parameters
    ----------
    a : ndarray of float64, shape (m, k)
        Any layout; read in place.
    b : ndarray of float64, shape (k, n)
        Any layout; read in place.

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new C-ordered array. An inner dimension of 0 gives zeros.

    Raises
    ------
    TypeError
        ``argument 'a': '{type}' object cannot be cast as 'ndarray'`` (or ``'b'``) when an
        argument is not a 2-D float64 array; the note says what was given.
    ValueError
        ``Matrix dimensions don't match: (m, k) @ (k2, n)`` when ``a``'s columns differ from
        ``b``'s rows; the note names both shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    Every element is one chain of fused multiply-adds over the inner index, in ascending order
    from -0.0. Its bits depend only on its row of ``a``, its column of ``b`` and k: the same
    alone or in any batch, for every layout and every CPU level and architecture. Runs on the
    calling thread (no BLAS is linked).

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> tarnwick.matmul_numpy(np.array([[1.0, 2.0]]), np.array([[3.0], [4.0]]))
    array([[11.]])
    """

def matmul_numpy_f32(a: NDArray[np.float32], b: NDArray[np.float32]) -> NDArray[np.float32]:
    """Matrix product of two 2-D float32 arrays, computed in single precision.

    Parameters
    ----------
    a : ndarray of float32, shape (m, k)
        Any layout; read in place.
    b : ndarray of float32, shape (k, n)
        Any layout; read in place.

    Returns
    -------
    ndarray of float32, shape (m, n)
        A new C-ordered array; nothing is widened to float64.

    Raises
    ------
    TypeError
        ``argument 'a': '{type}' object cannot be cast as 'ndarray'`` (or ``'b'``) when an
        argument is not a 2-D float32 array; the note says what was given.
    ValueError
        ``Matrix dimensions don't match`` when ``a``'s columns differ from ``b``'s rows; the
        note names both shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    The same exactness as :func:`matmul_numpy`, in 32 bits. Runs on the calling thread.
    """

def parallel_map_numpy(
    arr: NDArray[np.float64], factor: SupportsFloat | SupportsIndex
) -> NDArray[np.float64]:
    """Every element of a 1-D float64 array multiplied by a factor.

    Parameters
    ----------
    arr : ndarray of float64, shape (n,)
        Any step (contiguous, strided, reversed, broadcast); read in place.
    factor : float
        Anything that converts to float.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new contiguous array, ``arr[i] * factor``, one rounded product per element.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float64 array (with a note); ``argument 'factor': {message}`` when ``factor`` does
        not convert.
    OverflowError
        When ``factor`` is an integer too large for a float.

    Notes
    -----
    Computed on the worker pool; each element depends on its own value alone, so the result is
    the same for every thread count and CPU level.
    """

def parallel_map_numpy_f32(
    arr: NDArray[np.float32], factor: SupportsFloat | SupportsIndex
) -> NDArray[np.float32]:
    """Every element of a 1-D float32 array multiplied by a factor rounded to 32 bits.

    Parameters
    ----------
    arr : ndarray of float32, shape (n,)
        Any step; read in place.
    factor : float
        Converted to a 64-bit float, then rounded to the nearest 32-bit float (a value too
        large becomes an infinity): 0.1 multiplies by ``numpy.float32(0.1)``.

    Returns
    -------
    ndarray of float32, shape (n,)
        A new contiguous array of 32-bit products.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float32 array (with a note); ``argument 'factor': {message}`` when ``factor`` does
        not convert.
    OverflowError
        When ``factor`` is an integer too large for a float.

    Notes
    -----
    Computed on the worker pool; the same bits for every thread count and CPU level.
    """

def sum_of_squares_numpy(arr: NDArray[np.float64]) -> float:
    """Sum of the squares of a 1-D float64 array.

    Parameters
    ----------
    arr : ndarray of float64, shape (n,)
        Any step; read in place.

    Returns
    -------
    float
        The sum; -0.0 for an empty array, ``inf`` when it overflows, NaN when an element is NaN.
        No error is raised for any of these.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float64 array; the note says what was given.

    Notes
    -----
    The squares are added over a fixed tree that depends on the length alone: ranges split in
    halves down to leaves of at most 512 elements, each leaf summed in ascending order from
    -0.0, the halves added once. The result is therefore the same for every thread count, CPU
    level and architecture, though it may differ in the last bits from a plain left-to-right
    sum. Computed on the worker pool.
    """

def sum_of_squares_numpy_f32(arr: NDArray[np.float32]) -> float:
    """Sum of the squares of a 1-D float32 array, accumulated in 32 bits.

    Parameters
    ----------
    arr : ndarray of float32, shape (n,)
        Any step; read in place.

    Returns
    -------
    float
        The 32-bit sum, widened exactly to a Python float. Squares overflow in 32 bits: two
        elements of 1e20 give ``inf``.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float32 array; the note says what was given.

    Notes
    -----
    The same fixed tree as :func:`sum_of_squares_numpy`: the same bits for every thread count,
    CPU level and architecture. Computed on the worker pool.
    """

def fused_linear(
    input: NDArray[np.float64], weights: NDArray[np.float64], bias: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Dense layer ``input @ weights + bias`` in one call.

    Parameters
    ----------
    input : ndarray of float64, shape (m, k)
        Any layout; read in place.
    weights : ndarray of float64, shape (k, n)
        Any layout; read in place.
    bias : ndarray of float64, shape (n,)
        Any step. A 2-D bias such as shape (1, n) is refused, not broadcast.

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new array: column-major (Fortran order) when ``input`` and ``weights`` both have a row
        step of one element (Fortran-ordered or transposed operands), else C-ordered. With
        k = 0 every row equals ``bias``.

    Raises
    ------
    TypeError
        ``argument '{name}': '{type}' object cannot be cast as 'ndarray'`` for the first of
        ``input``, ``weights``, ``bias`` that is not an array of its kind; the note says what
        was given.
    ValueError
        ``Input and weights dimensions don't match`` when ``input``'s columns differ from
        ``weights``' rows (checked first); ``Weights and bias dimensions don't match`` when
        ``bias``'s length differs from ``weights``' columns. The note names the shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    The product is exact as in :func:`matmul_numpy`; the bias is added once per element in its
    own rounded addition. A row's result has the same bits alone or in any batch. Runs on the
    calling thread.

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> x = np.array([[1.0, 2.0]])
    >>> tarnwick.fused_linear(x, np.eye(2), np.array([0.5, -3.0]))
    array([[ 1.5, -1. ]])
    """

def fused_linear_f32(
    input: NDArray[np.float32], weights: NDArray[np.float32], bias: NDArray[np.float32]
) -> NDArray[np.float32]:
    """Dense layer ``input @ weights + bias`` in float32, returned flattened.

    Parameters
    ----------
    input : ndarray of float32, shape (m, k)
        Any layout; read in place.
    weights : ndarray of float32, shape (k, n)
        Any layout; read in place.
    bias : ndarray of float32, shape (n,)
        Any step.

    Returns
    -------
    ndarray of float32, shape (m * n,)
        The rows of the result one after another (row 0 first), as a new 1-D array; unlike
        the other dense-layer functions this one is not 2-D. ``result.reshape(m, n)`` gives the
        matrix without a copy.

    Raises
    ------
    TypeError
        ``argument '{name}': '{type}' object cannot be cast as 'ndarray'`` for the first
        argument that is not a float32 array of its kind; the note says what was given.
    ValueError
        ``Input and weights dimensions don't match`` or ``Weights and bias dimensions don't
        match`` as for :func:`fused_linear`; the note names the shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    Single precision throughout; exact and batch-invariant as :func:`fused_linear`. Runs on
    the calling thread.
    """

def fused_linear_relu(
    input: NDArray[np.float64], weights: NDArray[np.float64], bias: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Dense layer with ReLU, ``maximum(input @ weights + bias, 0)``, in one call.

    Parameters
    ----------
    input : ndarray of float64, shape (m, k)
        Any layout; read in place.
    weights : ndarray of float64, shape (k, n)
        Any layout; read in place.
    bias : ndarray of float64, shape (n,)
        Any step.

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new array, laid out as :func:`fused_linear`'s. The ReLU gives +0.0 for NaN, -0.0
        and every value that is not greater than 0.

    Raises
    ------
    TypeError
        ``argument '{name}': '{type}' object cannot be cast as 'ndarray'`` for the first
        argument that is not a float64 array of its kind; the note says what was given.
    ValueError
        ``Input and weights dimensions don't match`` or ``Weights and bias dimensions don't
        match`` as for :func:`fused_linear`; the note names the shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    Exact and batch-invariant as :func:`fused_linear`. Runs on the calling thread.

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> x = np.array([[1.0, 2.0]])
    >>> tarnwick.fused_linear_relu(x, np.eye(2), np.array([0.5, -3.0]))
    array([[1.5, 0. ]])
    """

def fused_linear_relu_f32(
    input: NDArray[np.float32], weights: NDArray[np.float32], bias: NDArray[np.float32]
) -> NDArray[np.float32]:
    """Dense layer with ReLU in float32.

    Parameters
    ----------
    input : ndarray of float32, shape (m, k)
        Any layout; read in place.
    weights : ndarray of float32, shape (k, n)
        Any layout; read in place.
    bias : ndarray of float32, shape (n,)
        Any step.

    Returns
    -------
    ndarray of float32, shape (m, n)
        A new 2-D array, laid out as :func:`fused_linear`'s.

    Raises
    ------
    TypeError
        ``argument '{name}': '{type}' object cannot be cast as 'ndarray'`` for the first
        argument that is not a float32 array of its kind; the note says what was given.
    ValueError
        ``Input and weights dimensions don't match`` or ``Weights and bias dimensions don't
        match`` as for :func:`fused_linear`; the note names the shapes.
    MemoryError
        When the result cannot be allocated, including a result whose size in bytes would not
        fit a signed 64-bit integer.

    Notes
    -----
    Single precision throughout; exact and batch-invariant as :func:`fused_linear`. Runs on
    the calling thread.
    """

def fused_dropout_add(
    x: NDArray[np.float64],
    residual: NDArray[np.float64],
    dropout_mask: NDArray[np.float64],
    scale: SupportsFloat | SupportsIndex,
) -> NDArray[np.float64]:
    """Dropout with a residual add, ``x * dropout_mask * scale + residual``, in one pass.

    Parameters
    ----------
    x : ndarray of float64, shape (m, n)
        Any layout.
    residual : ndarray of float64, shape (m, n)
        Any layout.
    dropout_mask : ndarray of float64, shape (m, n)
        The factors, used as they are (0 and 1, fractions, anything); the function draws no
        random numbers. Boolean, integer or float32 masks are refused.
    scale : float
        Applied to every element, also where the mask is 0.

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new C-ordered array, ``((x * mask) * scale) + residual`` with each operation rounded
        on its own, in that association.

    Raises
    ------
    TypeError
        ``argument '{name}': '{type}' object cannot be cast as 'ndarray'`` for the first array
        that is not a 2-D float64 array (with a note); ``argument 'scale': {message}`` when
        ``scale`` does not convert.
    ValueError
        ``All arrays must have the same shape`` when ``residual`` or ``dropout_mask`` differs in
        shape from ``x`` (no broadcasting); the note names the three shapes.

    Notes
    -----
    Each element depends on its own three values alone. Runs on the calling thread.
    """

def fused_layer_norm(
    x: NDArray[np.float64], eps: SupportsFloat | SupportsIndex
) -> NDArray[np.float64]:
    """Each row normalised to zero mean and unit variance, ``(x - mean) / sqrt(var + eps)``.

    Parameters
    ----------
    x : ndarray of float64, shape (m, n)
        Any layout; the features are the columns.
    eps : float
        Added to each row's variance; no range check (0 and negative values are used as given).

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new array in ``x``'s own layout when ``x`` is contiguous in some axis order, else
        C-ordered. There is no learned scale or shift.

    Raises
    ------
    TypeError
        ``argument 'x': '{type}' object cannot be cast as 'ndarray'`` when ``x`` is not a 2-D
        float64 array (with a note); ``argument 'eps': {message}`` when ``eps`` does not
        convert.

    Notes
    -----
    Per row: the mean is a left-to-right sum from -0.0 divided by n; the variance a second
    left-to-right sum of squared deviations divided by n (population variance); then a true
    division by ``sqrt(var + eps)`` for every element. A row's result depends on that row
    alone. A row holding NaN or an infinity becomes NaN. Runs on the calling thread.
    """

def fused_softmax(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """Softmax of each row, ``exp(x - max) / sum(exp(x - max))``, stable for large values.

    Parameters
    ----------
    x : ndarray of float64, shape (m, n)
        Any layout.

    Returns
    -------
    ndarray of float64, shape (m, n)
        A new array in ``x``'s own layout when ``x`` is contiguous in some axis order, else
        C-ordered.

    Raises
    ------
    TypeError
        ``argument 'x': '{type}' object cannot be cast as 'ndarray'`` when ``x`` is not a 2-D
        float64 array; the note says what was given.

    Notes
    -----
    Per row: the maximum skips NaN; each exponential is the C library's ``exp`` bit for bit;
    the sum is left to right from -0.0; every element is divided by it. A row holding NaN or
    +inf becomes NaN. A row's result depends on that row alone, whatever the CPU level. Runs
    on the calling thread.

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> tarnwick.fused_softmax(np.array([[1000.0, 1001.0, 1002.0]])).round(4)
    array([[0.09  , 0.2447, 0.6652]])
    """

def relu_numpy(arr: NDArray[np.float64]) -> NDArray[np.float64]:
    """ReLU of a 1-D float64 array, ``maximum(arr, 0)``, as a new array.

    Parameters
    ----------
    arr : ndarray of float64, shape (n,)
        Any step; read in place and left unchanged.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new contiguous array: x where x > 0, else +0.0 (so NaN and -0.0 give +0.0).

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float64 array; the note says what was given.

    Notes
    -----
    The runtime docstring says "in-place"; the argument is in fact never written. Computed on
    the worker pool; the same bits for every thread count and CPU level.

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> tarnwick.relu_numpy(np.array([-1.0, 0.0, 2.5]))
    array([0. , 0. , 2.5])
    """

def relu_numpy_f32(arr: NDArray[np.float32]) -> NDArray[np.float32]:
    """ReLU of a 1-D float32 array, as a new array.

    Parameters
    ----------
    arr : ndarray of float32, shape (n,)
        Any step; read in place and left unchanged.

    Returns
    -------
    ndarray of float32, shape (n,)
        A new contiguous array: x where x > 0, else +0.0.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float32 array; the note says what was given.

    Notes
    -----
    Computed on the worker pool; the same bits for every thread count and CPU level.
    """

def sigmoid_numpy(arr: NDArray[np.float64]) -> NDArray[np.float64]:
    """Logistic sigmoid of a 1-D float64 array, ``1 / (1 + exp(-arr))``.

    Parameters
    ----------
    arr : ndarray of float64, shape (n,)
        Any step; read in place.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new contiguous array. 0 gives 0.5, +inf 1.0, -inf and values below about -709.78
        give 0.0, NaN gives NaN.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float64 array; the note says what was given.

    Notes
    -----
    The exponential is the C library's ``exp``, bit for bit (vectorised where the library's
    algorithm is verified at first use, else called per value), followed by one rounded
    addition and one true division. Computed on the worker pool; the same bits for every
    thread count and CPU level.

    Examples
    --------
    >>> import numpy as np, tarnwick
    >>> tarnwick.sigmoid_numpy(np.array([0.0, np.inf, -np.inf]))
    array([0.5, 1. , 0. ])
    """

def sigmoid_numpy_f32(arr: NDArray[np.float32]) -> NDArray[np.float32]:
    """Logistic sigmoid of a 1-D float32 array, computed in single precision.

    Parameters
    ----------
    arr : ndarray of float32, shape (n,)
        Any step; read in place.

    Returns
    -------
    ndarray of float32, shape (n,)
        A new contiguous array; values below about -88.72 give 0.0.

    Raises
    ------
    TypeError
        ``argument 'arr': '{type}' object cannot be cast as 'ndarray'`` when ``arr`` is not a
        1-D float32 array; the note says what was given.

    Notes
    -----
    Negation, the C library's ``expf``, addition and division all in 32 bits; nothing is
    computed in 64 bits, so a result may differ in the last bit from a float64 sigmoid rounded
    to float32. Computed on the worker pool; the same bits for every thread count and CPU
    level.
    """
