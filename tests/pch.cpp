// Compiled only to make the tests' shared precompiled header.
