
import matplotlib
matplotlib.use('Agg')
import seaborn as sns
import matplotlib.pyplot as plt
import pandas as pd
import os

sns.set_theme()
os.chdir("{output_dir}")

def query_db(sql: str) -> pd.DataFrame:
    raise RuntimeError("No database connection configured. Use /database to select one.")

# User code
df = query_db('SELECT region, SUM(amount) AS total FROM sales GROUP BY region')
sns.barplot(data=df, x='region', y='total')
plt.savefig('sales.png')

plt.close("all")
