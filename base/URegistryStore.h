#pragma once
// Internal to the registry layer: the process-wide cache of the two roots and their files. Every
// function except Lock requires the caller to hold Lock().

#include <mutex>
#include <string>

class TRegistryNode;
enum class TRegistryRoot;

namespace RegistryStore {

std::recursive_mutex& Lock();

// The root's tree, read from its file first when the file changed on disk since it was last read
// or written (or when the registry directory changed). The reference is valid until the next call.
TRegistryNode& Tree(TRegistryRoot root);

// Raises ERegistryException(failure + reason) when the root's file must not be written because it
// exists but could not be read. Call after Tree and before changing the tree.
void CheckWritable(TRegistryRoot root, const std::string& failure);

// Writes the root's file now, or at the end of the open batch. When writing fails the change is
// dropped (the tree is read again from disk at the next access) and ERegistryException(failure +
// ": " + cause) is raised.
void Save(TRegistryRoot root, const std::string& failure);

void BeginBatch();
// The outermost commit writes every root changed in the batch.
void CommitBatch();
// Drops every change of the batch.
void AbortBatch();

} // namespace RegistryStore
