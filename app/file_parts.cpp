#include "app/file_parts.h"

namespace {

// Opens a gap of one part at index, moving the parts after it along.
// Returns 0 when the list is full.
int insertPart(PartList& list, int index, const FilePart& part) {
    if (list.count == kMostParts) return 0;
    for (int move = list.count; move > index; --move) list.parts[move] = list.parts[move - 1];
    list.parts[index] = part;
    ++list.count;
    return 1;
}

void removePart(PartList& list, int index) {
    for (int move = index; move + 1 < list.count; ++move) list.parts[move] = list.parts[move + 1];
    --list.count;
}

FilePart makePart(std::int64_t first, std::int64_t next, std::int64_t end) {
    FilePart part;
    part.first = first;
    part.next = next;
    part.end = end;
    return part;
}

}  // namespace

void cutIntoParts(PartList& list, std::int64_t first, std::int64_t held, std::int64_t end, int connections,
                  std::int64_t smallest) {
    list.count = 0;
    std::int64_t rest = end - held;
    std::int64_t fit = smallest > 0 ? rest / smallest : connections;
    int count = fit < connections ? static_cast<int>(fit) : connections;
    if (count < 1) count = 1;
    if (count > kMostParts) count = kMostParts;
    std::int64_t share = rest / count;
    for (int index = 0; index < count; ++index) {
        std::int64_t start = held + share * index;
        std::int64_t stop = index + 1 == count ? end : start + share;
        list.parts[list.count++] = makePart(index == 0 ? first : start, start, stop);
    }
}

int partsFromRanges(PartList& list, std::int64_t first, std::int64_t end, const std::int64_t* starts,
                    const std::int64_t* ends, int count) {
    list.count = 0;
    std::int64_t reached = first;
    for (int index = 0; index < count; ++index) {
        if (starts[index] < reached || ends[index] <= starts[index] || ends[index] > end) return 0;
        // The bytes before the first range are a part with nothing stored.
        if (index == 0 && starts[index] > first) list.parts[list.count++] = makePart(first, first, starts[index]);
        if (list.count == kMostParts) return 0;
        if (list.count > 0) list.parts[list.count - 1].end = starts[index];
        list.parts[list.count++] = makePart(starts[index], ends[index], end);
        reached = ends[index];
    }
    if (list.count == 0) list.parts[list.count++] = makePart(first, first, end);
    return 1;
}

int splitLargestGap(PartList& list, std::int64_t larger) {
    int largest = -1;
    for (int index = 0; index < list.count; ++index) {
        const FilePart& part = list.parts[index];
        if (part.end - part.next > larger &&
            (largest < 0 || part.end - part.next > list.parts[largest].end - list.parts[largest].next)) {
            largest = index;
        }
    }
    if (largest < 0) return -1;
    FilePart& part = list.parts[largest];
    std::int64_t middle = part.next + (part.end - part.next) / 2;
    if (!insertPart(list, largest + 1, makePart(middle, middle, part.end))) return -1;
    list.parts[largest].end = middle;
    return largest + 1;
}

int untouchedNextPart(const PartList& list, int index, std::int64_t limit) {
    if (index + 1 >= list.count) return -1;
    const FilePart& next = list.parts[index + 1];
    return next.next == next.first && next.end <= limit ? index + 1 : -1;
}

void joinNextPart(PartList& list, int index) {
    list.parts[index].end = list.parts[index + 1].end;
    removePart(list, index + 1);
}

void joinFinishedParts(PartList& list) {
    for (int index = 0; index + 1 < list.count;) {
        const FilePart& part = list.parts[index];
        if (partDone(part) && part.slot < 0) {
            list.parts[index + 1].first = part.first;
            removePart(list, index);
        } else {
            ++index;
        }
    }
}

std::int64_t storedInParts(const PartList& list) {
    std::int64_t stored = 0;
    for (int index = 0; index < list.count; ++index) stored += list.parts[index].next - list.parts[index].first;
    return stored;
}

int allPartsDone(const PartList& list) {
    for (int index = 0; index < list.count; ++index) {
        if (!partDone(list.parts[index])) return 0;
    }
    return 1;
}

void takeStoredRanges(const PartList& list, PartsState& state) {
    state.rangeCount = 0;
    for (int index = 0; index < list.count; ++index) {
        const FilePart& part = list.parts[index];
        if (part.next == part.first) continue;
        state.starts[state.rangeCount] = part.first;
        state.ends[state.rangeCount] = part.next;
        ++state.rangeCount;
    }
}
