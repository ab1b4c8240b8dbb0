// A loadable module that is not the shader library (it has none of its
// entry points), for the tests of how tools refuse such a file.
extern "C" int not_a_shader_marker() { return 0; }
