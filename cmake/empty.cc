// The shared library is made of the layer libraries linked whole; CMake needs
// one source file of its own for the target.
