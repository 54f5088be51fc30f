# Builds and drops large dicts, lists, sets and strings, the way a data-processing script does,
# and prints summaries that depend only on the data.
import hashlib


def build_round(seed):
    table = {f"key-{seed}-{index}": [index, str(index) * (index % 7), {"n": index}]
             for index in range(200_000)}
    numbers = [index * seed % 1_000_003 for index in range(500_000)]
    numbers.sort()
    words = {f"{index % 5000}:{seed}" for index in range(300_000)}
    text = "".join(str(number) for number in numbers[:100_000])
    digest = hashlib.sha256(text.encode()).hexdigest()[:16]
    summary = (len(table), sum(numbers[::1000]), len(words), digest)
    del table, numbers, words, text
    return summary


grown = []
for seed in range(1, 4):
    print(seed, *build_round(seed))
    grown.append(bytearray(seed * 1_000_000))
    grown[-1][::4096] = b"x" * len(grown[-1][::4096])
print(sum(len(chunk) for chunk in grown), sum(chunk.count(b"x") for chunk in grown))
