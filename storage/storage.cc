// The statuses' texts, hexadecimal text, and the shape as text.
#include "storage/storage.h"

#include <utility>

namespace storage {

const char* meaning(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "fait";
    case FileStatus::kDuplicateAlternateKey:
      return "fait, clé secondaire déjà présente";
    case FileStatus::kAtEnd:
      return "plus d'enregistrement suivant";
    case FileStatus::kDuplicateKey:
      return "un enregistrement de cette clé est déjà dans le fichier";
    case FileStatus::kNoSuchKey:
      return "aucun enregistrement de cette clé";
    case FileStatus::kFailed:
      return "échec";
    case FileStatus::kNotFound:
      return "fichier introuvable";
    case FileStatus::kDenied:
      return "accès refusé";
    case FileStatus::kWrongShape:
      return "ce n'est pas un fichier de cette longueur d'enregistrement et de ces clés";
    case FileStatus::kAlreadyOpen:
      return "le fichier est déjà ouvert";
    case FileStatus::kNotOpen:
      return "le fichier n'est pas ouvert";
    case FileStatus::kNotOpenForInput:
      return "le fichier n'est pas ouvert en lecture";
    case FileStatus::kNotOpenForOutput:
      return "le fichier n'est pas ouvert en écriture";
  }
  return "échec";
}

void append_hexadecimal(std::string& text, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
}

Result failure(FileStatus status, std::string reason) {
  if (reason.empty()) reason = meaning(status);
  return {status, std::move(reason)};
}

std::string describe(const FileShape& shape) {
  std::string text = std::to_string(shape.record_length);
  for (const KeyShape& key : shape.keys) {
    text += ' ' + std::to_string(key.offset) + '+' + std::to_string(key.length);
    if (key.duplicates) text += 'd';
  }
  return text;
}

}  // namespace storage
