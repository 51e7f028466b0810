#include "method/geometry.h"

Geometry make_geometry(int sinoX, int Ntilts, int reconsX, int reconsY, int slices) {
    Geometry g;
    g.sinoX = sinoX;
    g.Ntilts = Ntilts;
    g.reconsX = reconsX;
    g.reconsY = reconsY;
    g.slices = slices;
    g.w_2 = (float)((reconsX - 1) * 0.5);
    g.h_2 = (float)((reconsY - 1) * 0.5);
    g.r_2 = (float)((sinoX - 1) * 0.5);
    g.factor = (float)(1.0 / Ntilts);
    return g;
}
