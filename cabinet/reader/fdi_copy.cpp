#include "cabinet/reader/fdi_copy.h"

#include <cstring>

#include "cabinet/reader/fdi_check.h"
#include "platform/crt.h"

namespace cab {

namespace {

// The open flags and mode cabinets are read with: binary, read-only.
constexpr int kCabinetOpenFlags = _O_BINARY | _O_RDONLY;
constexpr int kCabinetOpenMode = _S_IREAD | _S_IWRITE;

void CopyString(char *out, size_t out_size, const char *in) {
    size_t len = strnlen(in, out_size - 1);
    memcpy(out, in, len);
    out[len] = '\0';
}

// A cabinet's previous-cabinet name names the one before it, or, as some writers have it, the
// cabinet where its continued file begins, which the one before names in turn.
bool Continues(const char *prev_name, const char *name, const char *names_prev) {
    return prev_name[0] != '\0' &&
           (_stricmp(prev_name, name) == 0 || _stricmp(prev_name, names_prev) == 0);
}

}  // namespace

FdiExtractor::FdiExtractor(const FdiCallbacks *callbacks, PFNFDINOTIFY notify, void *pv)
    : callbacks_(callbacks),
      notify_(notify),
      pv_(pv),
      in_(callbacks),
      first_(callbacks),
      continued_{FdiCabinet(callbacks), FdiCabinet(callbacks)},
      reader_(callbacks, &in_, this) {}

FdiExtractor::~FdiExtractor() {
    CloseCabinet();
}

void FdiExtractor::CloseCabinet() {
    if (cabinet_hf_ != -1) {
        callbacks_->close(cabinet_hf_);
        cabinet_hf_ = -1;
    }
}

char *FdiExtractor::FileName(const FdiFile &f) {
    CopyString(name_, sizeof(name_), first_.name(f));
    return name_;
}

INT_PTR FdiExtractor::Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION *n) {
    n->pv = pv_;
    return notify_(type, n);
}

FDIERROR FdiExtractor::Open(const char *name, FdiCabinet *cab) {
    size_t path_len = strnlen(path_, sizeof(path_));
    size_t name_len = strlen(name);
    if (path_len >= sizeof(path_) || path_len + name_len >= sizeof(full_name_)) {
        return FDIERROR_CABINET_NOT_FOUND;
    }
    memcpy(full_name_, path_, path_len);
    memcpy(full_name_ + path_len, name, name_len + 1);
    INT_PTR hf = callbacks_->open(full_name_, kCabinetOpenFlags, kCabinetOpenMode);
    if (hf == -1) {
        return FDIERROR_CABINET_NOT_FOUND;
    }
    cabinet_hf_ = hf;
    in_.Attach(hf);
    FDIERROR err = cab->Read(&in_);
    if (err != FDIERROR_NONE) {
        CloseCabinet();
    }
    return err;
}

FDIERROR FdiExtractor::NotifyCabinetInfo(const FdiCabinet &cab) {
    FDINOTIFICATION n = {};
    CopyString(psz1_, sizeof(psz1_), cab.next_cabinet());
    CopyString(psz2_, sizeof(psz2_), cab.next_disk());
    n.psz1 = psz1_;
    n.psz2 = psz2_;
    n.psz3 = path_;
    n.setID = cab.header().setID;
    n.iCabinet = cab.header().iCabinet;
    return Notify(fdintCABINET_INFO, &n) == -1 ? FDIERROR_USER_ABORT : FDIERROR_NONE;
}

FDIERROR FdiExtractor::Run(const char *cabinet, const char *path) {
    FDIERROR err = OpenFirst(cabinet, path);
    if (err == FDIERROR_NONE) {
        err = NotifyPartialFiles();
    }
    for (size_t i = 0; err == FDIERROR_NONE && i < first_.header().cFiles; ++i) {
        const FdiFile &f = first_.file(i);
        if (!ContinuedFromPrev(f.iFolder)) {
            err = OfferFile(f);
        }
    }
    CloseCabinet();
    return err;
}

// Opens the cabinet FDICopy names and tells the caller about it.
FDIERROR FdiExtractor::OpenFirst(const char *cabinet, const char *path) {
    if (!in_.Init()) {
        return FDIERROR_ALLOC_FAIL;
    }
    if (!cabinet) {
        return FDIERROR_CABINET_NOT_FOUND;
    }
    CopyString(path_, sizeof(path_), path ? path : "");
    const char *leaf = cabinet;
    for (const char *p = cabinet; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            leaf = p + 1;
        }
    }
    CopyString(cabinet_name_, sizeof(cabinet_name_), leaf);
    FDIERROR err = Open(cabinet, &first_);
    if (err != FDIERROR_NONE) {
        return err;
    }
    // Enough to pass over every file of the cabinet twice, as skipping and a few rereads need.
    skip_budget_ = kSkipAllowance;
    for (size_t i = 0; i < first_.header().cFiles; ++i) {
        skip_budget_ += 2 * uint64_t(first_.file(i).cbFile);
    }
    return NotifyCabinetInfo(first_);
}

// Names each file that begins in an earlier cabinet: it cannot be extracted from this one.
FDIERROR FdiExtractor::NotifyPartialFiles() {
    for (size_t i = 0; i < first_.header().cFiles; ++i) {
        const FdiFile &f = first_.file(i);
        if (!ContinuedFromPrev(f.iFolder)) {
            continue;
        }
        FDINOTIFICATION n = {};
        n.psz1 = FileName(f);
        CopyString(psz2_, sizeof(psz2_), first_.prev_cabinet());
        CopyString(psz3_, sizeof(psz3_), first_.prev_disk());
        n.psz2 = psz2_;
        n.psz3 = psz3_;
        if (Notify(fdintPARTIAL_FILE, &n) == -1) {
            return FDIERROR_USER_ABORT;
        }
    }
    return FDIERROR_NONE;
}

// Offers one file to the caller and, when it gives a handle, writes the file and closes it.
FDIERROR FdiExtractor::OfferFile(const FdiFile &f) {
    FDINOTIFICATION n = {};
    n.psz1 = FileName(f);
    n.cb = long(f.cbFile);
    n.date = f.date;
    n.time = f.time;
    n.attribs = f.attribs;
    n.iFolder = first_.RealFolder(f);
    INT_PTR hf = Notify(fdintCOPY_FILE, &n);
    if (hf == -1) {
        return FDIERROR_USER_ABORT;
    }
    if (hf == 0) {
        return FDIERROR_NONE;
    }
    FDIERROR err = ExtractFile(f, hf);
    if (err != FDIERROR_NONE) {
        // The handle is still ours until fdintCLOSE_FILE_INFO: release it.
        callbacks_->close(hf);
        return err;
    }
    n = {};
    n.psz1 = FileName(f);
    n.hf = hf;
    n.date = f.date;
    n.time = f.time;
    n.attribs = uint16_t(f.attribs & ~_A_EXEC);
    n.cb = (f.attribs & _A_EXEC) ? 1 : 0;
    n.iFolder = first_.RealFolder(f);
    INT_PTR r = Notify(fdintCLOSE_FILE_INFO, &n);
    return r == FALSE || r == -1 ? FDIERROR_USER_ABORT : FDIERROR_NONE;
}

FDIERROR FdiExtractor::ExtractFile(const FdiFile &f, INT_PTR hf) {
    if (f.cbFile == 0) {
        return FDIERROR_NONE;
    }
    uint16_t folder = first_.RealFolder(f);
    // Data of a folder begun in an earlier cabinet cannot be decoded from here; an entry that
    // claims to start in it contradicts the continued entries.
    FDI_CHECK(folder != 0 || !first_.first_folder_continued(), FDIERROR_CORRUPT_CABINET);
    bool resume = reader_.active() && reader_.start_cabinet() == &first_ &&
                  reader_.folder() == folder && reader_.position() <= f.uoffFolderStart;
    if (!resume) {
        // Restarting a folder needs the first cabinet's data; once the stream has moved on into
        // the next cabinet of a set, only later offsets of the same folder can be reached.
        FDI_CHECK(!reader_.data_cabinet() || reader_.data_cabinet() == &first_,
                  FDIERROR_CORRUPT_CABINET);
        FDIERROR err = reader_.Start(&first_, folder);
        if (err != FDIERROR_NONE) {
            return err;
        }
    }
    uint64_t skip = f.uoffFolderStart - reader_.position();
    FDI_CHECK(skip <= skip_budget_, FDIERROR_CORRUPT_CABINET);
    skip_budget_ -= skip;
    FDIERROR err = reader_.Skip(skip);
    if (err == FDIERROR_NONE) {
        err = reader_.CopyTo(hf, f.cbFile);
    }
    return err;
}

FDIERROR FdiExtractor::OpenNextCabinet(const FdiCabinet *current, const FdiCabinet **next) {
    FdiCabinet *target = current == &continued_[0] ? &continued_[1] : &continued_[0];
    // Copy what the checks need: `target` may be reused while `current` stays valid.
    const CabHeader expect = current->header();
    char next_name[FdiCabinet::kNameBufferSize];
    char next_disk[FdiCabinet::kNameBufferSize];
    CopyString(next_name, sizeof(next_name), current->next_cabinet());
    CopyString(next_disk, sizeof(next_disk), current->next_disk());
    CloseCabinet();
    FDIERROR fdie = FDIERROR_NONE;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kMaxNextCabinetAttempts) {
            return fdie;
        }
        FDINOTIFICATION n = {};
        CopyString(psz1_, sizeof(psz1_), next_name);
        CopyString(psz2_, sizeof(psz2_), next_disk);
        n.psz1 = psz1_;
        n.psz2 = psz2_;
        n.psz3 = path_;
        n.fdie = fdie;
        n.setID = expect.setID;
        n.iCabinet = uint16_t(expect.iCabinet + 1);
        if (Notify(fdintNEXT_CABINET, &n) == -1) {
            return FDIERROR_USER_ABORT;
        }
        path_[sizeof(path_) - 1] = '\0';
        fdie = Open(next_name, target);
        if (fdie != FDIERROR_NONE) {
            continue;
        }
        const CabHeader &h = target->header();
        if (h.cbCFHeader != expect.cbCFHeader || h.cbCFFolder != expect.cbCFFolder ||
            h.cbCFData != expect.cbCFData) {
            fdie = FDIERROR_RESERVE_MISMATCH;
        } else if (h.setID != expect.setID || h.iCabinet != expect.iCabinet + 1 ||
                   !(h.flags & kFlagPrevCabinet) ||
                   !Continues(target->prev_cabinet(), cabinet_name_, current->prev_cabinet())) {
            fdie = FDIERROR_WRONG_CABINET;
        } else if (h.cFolders == 0) {
            fdie = FDIERROR_CORRUPT_CABINET;
        }
        if (fdie != FDIERROR_NONE) {
            CloseCabinet();
            continue;
        }
        break;
    }
    CopyString(cabinet_name_, sizeof(cabinet_name_), next_name);
    FDIERROR err = NotifyCabinetInfo(*target);
    if (err != FDIERROR_NONE) {
        return err;
    }
    *next = target;
    return FDIERROR_NONE;
}

}  // namespace cab
