#pragma once
// The slices a run reconstructs (rows of the stack's Y axis, numbered from 0),
// and how the ranks of an MPI job share them.

// Slices first .. last, inclusive.
struct SliceRange {
    int first = 0, last = -1;
};

inline int slice_count(const SliceRange& r) { return r.last - r.first + 1; }

// Reads "FIRST,LAST" (two numbers from 0, FIRST <= LAST); false for anything else.
bool parse_slice_range(const char* text, SliceRange* range);

// The requested range, or every slice of a stack of ny rows when none is given;
// a range past the stack's last row ends the process with a message.
SliceRange slices_of_stack(const SliceRange* requested, int ny);

// Part `part` of `parts` contiguous pieces of range: the first (count % parts)
// pieces hold one slice more than the others; pieces past the slices are empty.
SliceRange slab_of(const SliceRange& range, int parts, int part);
