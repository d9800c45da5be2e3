// Method records of the exported functions and of KeyPair's methods, and the
// class accessors of the stream handles. Each bindings file defines its own;
// module.cc registers them and types.cc adds KeyPair's to its method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyext {

// kem_bindings.cc
extern const PyMethodDef kGenerateKeypairDef;
extern const PyMethodDef kEncapsulateDef;
extern const PyMethodDef kDecapsulateDef;
extern const PyMethodDef kSerializePublicKeyDef;
extern const PyMethodDef kDeserializePublicKeyDef;
extern const PyMethodDef kGenerateKeypairDeterministicDef;
extern const PyMethodDef kEncapsulateDeterministicDef;

// hybrid_bindings.cc
extern const PyMethodDef kEncryptHybridDef;
extern const PyMethodDef kDecryptHybridDef;

// key_io_bindings.cc: module functions
extern const PyMethodDef kLoadPublicKeyPemDef;
extern const PyMethodDef kLoadPublicKeyJsonDef;
extern const PyMethodDef kLoadSecretKeyRawDef;
extern const PyMethodDef kLoadSecretKeyPemDef;
// key_io_bindings.cc: KeyPair methods (self is a KeyPair; see keypair_view)
extern const PyMethodDef kKeyPairPublicKeyB64Def;
extern const PyMethodDef kKeyPairPublicKeyPemDef;
extern const PyMethodDef kKeyPairPublicKeyJsonDef;
extern const PyMethodDef kKeyPairExportSecretKeyRawDef;
extern const PyMethodDef kKeyPairExportSecretKeyPemDef;

// stream_bindings.cc
PyObject* stream_encryptor_handle_type();  // borrowed; null with an exception set
PyObject* stream_decryptor_handle_type();
extern const PyMethodDef kStreamEncryptorNewDef;
extern const PyMethodDef kStreamDecryptorFromHeaderDef;

// fastcall_keywords casts a METH_FASTCALL | METH_KEYWORDS entry point to the
// PyCFunction type that PyMethodDef stores.
using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall_keywords(FastcallKeywords f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace pyext
