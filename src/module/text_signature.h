// Docstrings that carry a text signature, as CPython reads it for
// __text_signature__ and inspect.signature: the callable's name, its
// parameter list, a line "--", an empty line, then the docstring proper.
//
//   BRV_DOC("write_cache", "(runtime, sources, base_cache_dir, writer_config, reuse_existing)", "")
//   BRV_DOC("set_epoch_len", "($self, epoch_len)", "Set the finite number of samples ...")
//
// Methods list $self first. The name must be the callable's __name__ (for a
// type, the last component of its PyType_Spec name), or CPython ignores the
// signature. All three arguments are string literals; the result is one.
#pragma once

#define BRV_DOC(name, params, sentence) name params "\n--\n\n" sentence
