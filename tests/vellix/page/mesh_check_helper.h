// Independent checks of a turning page's mesh against the geometry it should have.
#ifndef TESTS_VELLIX_PAGE_MESH_CHECK_HELPER_H
#define TESTS_VELLIX_PAGE_MESH_CHECK_HELPER_H

#include <string>

#include "page/turn_page.h"

namespace kestrin {
namespace GL {

struct MeshStats {
  int flat = 0;       // vertices lying on the table
  int flipped = 0;    // vertices lying flipped over beyond the cylinder
  int cylinder = 0;   // vertices on the cylinder
  int collapsed = 0;  // columns drawn as one flat quad
};
// (CheckCurlMesh adds its counts to *stats.)

// Checks, against the page's stored fold line and radius:
// - every position and normal is finite;
// - flat vertices sit at their grid point with z = 0, flipped ones at the grid point's mirror
//   image in the fold line with z = 2r, cylinder ones at distance r from the cylinder axis
//   (the base line lifted to z = r) with the normal pointing from the axis to the vertex;
// - vertices clearly inside one region are classified into that region;
// - both index lists hold whole cells in the pattern the fold's slope selects (plus, in the
//   flat list, one quad over the collapsed columns), every index below the vertex count, and
//   together they cover every grid cell exactly once;
// - everything the flat list draws lies on the table.
// Returns an empty string when the mesh passes, else the first fault found.
std::string CheckCurlMesh(CTurnPage const& page, MeshStats* stats = nullptr);

// Same for a page that should be flat (start equal to end): the full grid in the flat list.
std::string CheckFlatMesh(CTurnPage const& page);

}  // namespace GL
}  // namespace kestrin

#endif  // TESTS_VELLIX_PAGE_MESH_CHECK_HELPER_H
