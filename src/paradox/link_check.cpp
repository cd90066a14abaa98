// Empty: the layer link checks (CMakeLists.txt) link a whole layer into a shared object.
