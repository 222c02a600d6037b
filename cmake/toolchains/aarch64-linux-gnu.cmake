# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu. There is no target
# interpreter to ask, so the Python and NumPy headers and the extension suffix come from the
# command line, e.g.
#   -DPython_INCLUDE_DIR=.../include/python3.14 -DPython_NumPy_INCLUDE_DIR=.../numpy/_core/include
#   -DPython_SOABI=cpython-314-aarch64-linux-gnu
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
