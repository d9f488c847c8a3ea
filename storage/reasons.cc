// The French words for the system's error numbers.
#include "storage/reasons.h"

#include <cerrno>
#include <cstring>

namespace storage {
namespace {

struct ErrnoText {
  int error;
  const char* text;
};

// The errors the storage's system calls meet: files, folders, disks, limits.
constexpr ErrnoText kErrnoTexts[] = {
    {ENOENT, "fichier ou dossier introuvable"},
    {EACCES, "accès refusé"},
    {EPERM, "opération non permise"},
    {ENOSPC, "plus de place sur le disque"},
    {EDQUOT, "quota de disque dépassé"},
    {EROFS, "système de fichiers en lecture seule"},
    {EIO, "erreur d'entrée-sortie sur le disque"},
    {ENOTDIR, "un élément du chemin n'est pas un dossier"},
    {EISDIR, "c'est un dossier"},
    {ENAMETOOLONG, "nom de fichier trop long"},
    {ELOOP, "trop de liens symboliques dans le chemin"},
    {EMFILE, "trop de fichiers ouverts par le programme"},
    {ENFILE, "trop de fichiers ouverts sur le système"},
    {ENOMEM, "mémoire insuffisante"},
    {EEXIST, "le fichier existe déjà"},
    {EBUSY, "fichier ou périphérique occupé"},
    {EAGAIN, "ressource momentanément indisponible"},
    {EINTR, "appel système interrompu"},
    {EXDEV, "le lien passerait d'un système de fichiers à un autre"},
    {ETXTBSY, "fichier en cours d'exécution"},
    {EFBIG, "fichier trop grand"},
    {EMLINK, "trop de liens vers le fichier"},
    {ENXIO, "ni un fichier ordinaire ni un dossier (un tube ou un périphérique)"},
    {ESTALE, "le fichier a été remplacé ou n'est plus joignable"},
    {ENOLCK, "plus de verrou disponible"},
    {EOPNOTSUPP, "opération que ce système de fichiers ne permet pas"},
    {EINVAL, "argument refusé par le système"},
    {EBADF, "descripteur de fichier incorrect"},
    {EOVERFLOW, "valeur trop grande pour le système"},
};

}  // namespace

std::string errno_reason(int error) {
  for (const ErrnoText& known : kErrnoTexts) {
    if (known.error == error) return known.text;
  }
  return unknown_reason("erreur du système", "errno " + std::to_string(error), std::strerror(error));
}

std::string unknown_reason(std::string_view words, std::string_view code, std::string_view text) {
  std::string reason(words);
  reason += " (";
  reason += code;
  if (!text.empty()) {
    reason += " : ";
    reason += text;
  }
  return reason + ")";
}

}  // namespace storage
