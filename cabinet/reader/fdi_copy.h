// One FDICopy call: opens the cabinet, sends the notifications in the documented order, extracts
// the files the caller asks for, and follows a folder into the next cabinets of a set.
#pragma once

#include "cabinet/reader/fdi_cabinet.h"
#include "cabinet/reader/fdi_folder.h"
#include "cabinet/reader/fdi_io.h"

namespace cab {

class FdiExtractor final : public FolderContinuation {
public:
    // A retry loop at fdintNEXT_CABINET ends after this many failed attempts in a row, so a caller
    // that always answers 0 (try again) cannot hang on a missing or wrong cabinet.
    static constexpr int kMaxNextCabinetAttempts = 64;
    static constexpr size_t kPathBufferSize = 4096;
    static constexpr uint64_t kSkipAllowance = uint64_t(256) << 20;

    FdiExtractor(const FdiCallbacks *callbacks, PFNFDINOTIFY notify, void *pv);
    ~FdiExtractor() override;

    FDIERROR Run(const char *cabinet, const char *path);

    FDIERROR OpenNextCabinet(const FdiCabinet *current, const FdiCabinet **next) override;

private:
    FDIERROR OpenFirst(const char *cabinet, const char *path);
    FDIERROR NotifyPartialFiles();
    FDIERROR OfferFile(const FdiFile &f);
    FDIERROR Open(const char *name, FdiCabinet *cab);
    void CloseCabinet();
    FDIERROR NotifyCabinetInfo(const FdiCabinet &cab);
    FDIERROR ExtractFile(const FdiFile &file, INT_PTR hf);
    INT_PTR Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION *n);
    char *FileName(const FdiFile &f);

    const FdiCallbacks *callbacks_;
    PFNFDINOTIFY notify_;
    void *pv_;
    CabInput in_;
    FdiCabinet first_;
    FdiCabinet continued_[2];
    FolderReader reader_;
    INT_PTR cabinet_hf_ = -1;
    char path_[kPathBufferSize] = {};  // psz3: the folder cabinets are opened from
    char full_name_[2 * kPathBufferSize] = {};
    char psz1_[FdiCabinet::kNameBufferSize] = {};
    char psz2_[FdiCabinet::kNameBufferSize] = {};
    char psz3_[FdiCabinet::kNameBufferSize] = {};
    // The name the cabinet being read was opened under, which the next one's must continue.
    char cabinet_name_[FdiCabinet::kNameBufferSize] = {};
    // The file name handed out: a copy, so a caller that writes into psz1 cannot reach our tables.
    char name_[3 * kMaxReadFileNameLength + 1] = {};
    // Bytes the reader may decode only to drop them. Entries listed out of order or sharing data
    // make it restart folders; without a bound a small cabinet could keep it decoding for hours.
    uint64_t skip_budget_ = 0;
};

}  // namespace cab
