// Order indices of a layer's facets as facets go (released or deleted) in the middle of the list
// and other renderables sit between them: after each put the live facets are numbered 0, 1, 2 ...
// in list order.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "zel/facet.h"
#include "zel/layer.h"
#include "zel/renderable.h"

namespace {

using zel::Facet;

struct Line : zel::Renderable {
  void render(zel::RenderDevice&) override {}
  bool is_deep(const zel::Renderable&) const override { return false; }
};

std::vector<int32_t> orders(const zel::Layer& l) {
  std::vector<int32_t> out;
  for (const auto& f : l.get_list()) out.push_back(f->get_order());
  return out;
}

TEST(LayerOrder, PutsRenumberOnlyWhatFollowsAGap) {
  zel::Layer l(5);
  std::vector<std::shared_ptr<Facet>> f;
  for (int i = 0; i < 6; ++i) {
    f.push_back(std::make_shared<Facet>());
    l.put_facet(f.back());
    if (i == 2) l.put_renderable(std::make_shared<Line>());  // takes no number
  }
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));

  f[1].reset();       // released in the middle: the others keep their numbers until the next put
  l.del_facet(f[4]);  // deleted: keeps its own number and depth
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 2, 3, 5}));
  EXPECT_EQ(f[4]->get_order(), 4);

  auto g = std::make_shared<Facet>();
  l.put_facet(g);
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(g->get_depth(), 5);
  EXPECT_EQ(f[4]->get_order(), 4);  // no longer the layer's
  EXPECT_EQ(l.get_list(), (std::vector<std::shared_ptr<Facet>>{f[0], f[2], f[3], f[5], g}));

  // Put back after being deleted, and the first facet gone: numbers follow the list again.
  f[0].reset();
  l.put_facet(f[4]);
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(l.get_list().back(), f[4]);
  EXPECT_TRUE(f[4]->is_deep(*g));
  EXPECT_FALSE(g->is_deep(*f[4]));

  l.clear();
  auto h = std::make_shared<Facet>();
  l.put_facet(h);
  EXPECT_EQ(h->get_order(), 0);
}

}  // namespace
