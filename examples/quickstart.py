from marrowvale import PyKVCache

cache = PyKVCache(d_k=4, d_v=2, strategy="sliding", window_size=2)
for t in range(3):
    cache.append([1.0, 0.0, 0.0, float(t)], [float(t), 1.0])
print(cache.attend([1.0, 0.0, 0.0, 0.0]), cache.stats())
